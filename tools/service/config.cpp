#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <toml++/toml.h>

#ifdef TALVO_WITH_POSTGRES
#include <libpq-fe.h>
#endif

#include "db/database.h"

namespace talvo::service {
namespace {

class Checker {
public:
    explicit Checker(std::string path) : path_(std::move(path)) {}

    void Error(const toml::source_region& where, const std::string& what) {
        errors.push_back(path_ + ":" + std::to_string(where.begin.line) + ": " + what);
    }

    // Every key of `table` must be one of `known`.
    void Keys(const toml::table& table, std::initializer_list<const char*> known, const std::string& within) {
        for (auto&& [key, node] : table) {
            const std::string k(key.str());
            if (std::none_of(known.begin(), known.end(), [&](const char* n) { return k == n; })) {
                Error(key.source(), "unknown key '" + k + "'" + (within.empty() ? "" : " in " + within));
            }
        }
    }

    bool Text(const toml::table& t, const char* key, std::string& out, const std::string& within) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return false;
        if (!n->is_string()) {
            Error(n->source(), std::string(key) + within + " must be a text in quotes");
            return false;
        }
        out = n->as_string()->get();
        return true;
    }

    bool Integer(const toml::table& t, const char* key, std::int64_t low, std::int64_t high, std::int64_t& out,
                 const std::string& within) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return false;
        if (!n->is_integer() || n->as_integer()->get() < low || n->as_integer()->get() > high) {
            Error(n->source(), std::string(key) + within + " must be a whole number from " + std::to_string(low) +
                                   " to " + std::to_string(high));
            return false;
        }
        out = n->as_integer()->get();
        return true;
    }

    // Durations a key with the lower bound `low` takes, as examples: only
    // values it accepts.
    static std::string Examples(std::int64_t low) {
        std::vector<std::string> fit;
        for (const char* e : {"500ms", "30s", "5m", "2h", "1d"}) {
            std::int64_t ms = 0;
            if (ParseDuration(e, ms) && ms >= low) fit.push_back(std::string("\"") + e + "\"");
        }
        std::string out;
        for (std::size_t i = 0; i < fit.size(); ++i) out += (i == 0 ? "" : i + 1 == fit.size() ? " or " : ", ") + fit[i];
        return out;
    }

    void Duration(const toml::table& t, const char* key, std::int64_t low, std::int64_t& out,
                  const std::string& section = "jobs") {
        const toml::node* n = t.get(key);
        if (n == nullptr) return;
        std::int64_t ms = -1;
        if (n->is_integer()) ms = n->as_integer()->get() * 1000;
        else if (n->is_string() && !ParseDuration(n->as_string()->get(), ms)) ms = -1;
        if (n->is_string()) {
            // A number in quotes is a duration whose unit was left out: it
            // is not guessed (seconds? minutes?).
            const std::string& text = n->as_string()->get();
            if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
                Error(n->source(), section + "." + std::string(key) + " = \"" + text +
                                       "\" has no unit: write it with one of ms, s, m, h or d, such as \"" + text +
                                       "s\"");
                return;
            }
        }
        if (ms < low || ms > 31LL * 86'400'000) {
            Error(n->source(), section + "." + std::string(key) + " must be a duration from " + std::to_string(low) +
                                   "ms to 31d, such as " + Examples(low));
            return;
        }
        out = ms;
    }

    std::vector<std::string> errors;

private:
    std::string path_;
};

bool ValidName(const std::string& s) {
    return !s.empty() && s.size() <= 32 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-' ||
               c == '.';
    });
}

bool ValidFormat(const std::string& f) {
    char parity = 0;
    int data = 0, stop = 0;
    char tail = 0;
    if (std::sscanf(f.c_str(), "parity=%c data=%d stop=%d%c", &parity, &data, &stop, &tail) != 3) return false;
    return std::strchr("NEOMS", parity) != nullptr && data >= 5 && data <= 8 && (stop == 1 || stop == 2);
}

bool ValidBaud(std::int64_t b) {
    static const std::int64_t rates[] = {300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
    return std::find(std::begin(rates), std::end(rates), b) != std::end(rates);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "talvod";
    return name;
}

// Where a secret's file is: "$CREDENTIALS_DIRECTORY/NAME" (or with braces)
// is a credential that systemd hands the service (LoadCredential=); any other
// relative path is taken from the configuration's folder.  Empty with
// `problem` set when the credentials folder is not known.
std::string SecretPath(const std::string& file, const std::filesystem::path& dir, std::string& problem) {
    for (const char* prefix : {"$CREDENTIALS_DIRECTORY/", "${CREDENTIALS_DIRECTORY}/"}) {
        if (file.rfind(prefix, 0) != 0) continue;
        const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
        if (credentials == nullptr || credentials[0] == '\0') {
            problem = "names a credential, but CREDENTIALS_DIRECTORY is not set (systemd sets it for a service "
                      "with LoadCredential=)";
            return "";
        }
        return (std::filesystem::path(credentials) / file.substr(std::strlen(prefix))).string();
    }
    const std::filesystem::path p(file);
    return (p.is_absolute() ? p : dir / p).lexically_normal().string();
}

// The secret in `path`: one line of printable characters; a final line end
// is not part of it.  False with the reason in `problem`.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& problem) {
    constexpr std::size_t kLimit = 4096;
#ifdef _WIN32
    // Binary (no line-end translation), not inherited by a child.
    constexpr int kFlags = O_RDONLY | O_BINARY | O_NOINHERIT;
#else
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
#endif
    const int fd = ::open(path.c_str(), kFlags);
    if (fd < 0) {
        problem = path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) problem = path + " is not a regular file";
    if (ok && static_cast<std::size_t>(st.st_size) > kLimit) {
        ok = false;
        problem = path + " is larger than " + std::to_string(kLimit) + " bytes";
    }
    if (ok) {
        char buffer[kLimit + 1];
        ssize_t n = 0;
        while (text.size() <= kLimit && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (n < 0) {
            ok = false;
            problem = path + " cannot be read: " + std::strerror(errno);
        } else if (text.size() > kLimit) {
            ok = false;
            problem = path + " is larger than " + std::to_string(kLimit) + " bytes";
        }
    }
    ::close(fd);
    if (!ok) return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) {
        problem = path + " is empty";
        return false;
    }
    const auto control = [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; };
    if (std::any_of(text.begin(), text.end(), control)) {
        problem = path + " must hold one line without control characters";
        return false;
    }
    secret = std::move(text);
    return true;
}

// `key` of `t` names a file holding a secret: its text into `secret`.  False
// when the key is absent or refused (refusals are reported).
bool Secret(Checker& c, const toml::table& t, const char* key, const std::filesystem::path& dir, std::string& file,
            std::string& secret, const std::string& within) {
    std::string name;
    if (!c.Text(t, key, name, within)) return false;
    const toml::source_region& where = t.get(key)->source();
    if (name.empty()) {
        c.Error(where, std::string(key) + within + " is empty");
        return false;
    }
    std::string problem;
    file = SecretPath(name, dir, problem);
    if (file.empty()) {
        c.Error(where, std::string(key) + within + " " + problem);
        return false;
    }
    if (!ReadSecretFile(file, secret, problem)) {
        c.Error(where, std::string(key) + within + ": " + problem);
        return false;
    }
    return true;
}

// The target with the password added as a connection parameter: percent-
// encoded in a URI, quoted in a "key=value" string.
std::string WithPassword(const std::string& target, const std::string& password) {
    if (target.find("://") != std::string::npos) {
        std::string encoded;
        for (unsigned char ch : password) {
            if (std::isalnum(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
                encoded += static_cast<char>(ch);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", ch);
                encoded += hex;
            }
        }
        return target + (target.find('?') == std::string::npos ? "?" : "&") + "password=" + encoded;
    }
    std::string quoted;
    for (char ch : password) {
        if (ch == '\\' || ch == '\'') quoted += '\\';
        quoted += ch;
    }
    return target + " password='" + quoted + "'";
}

void ReadLine(Checker& c, const toml::table& t, int index, Config& config,
              std::map<std::string, std::uint32_t>& deviceAt, std::map<std::string, std::uint32_t>& nameAt) {
    LineConfig line;
    const std::string at = " of line " + std::to_string(index + 1);
    c.Keys(t, {"name", "device", "baud", "format", "echo_time_ms", "wait_time_ms", "tries", "filler_bytes", "terminal"},
           "[[line]]");
    if (!c.Text(t, "name", line.name, at) && t.get("name") == nullptr) {
        c.Error(t.source(), "line " + std::to_string(index + 1) + " has no name");
    } else if (!line.name.empty() && !ValidName(line.name)) {
        c.Error(t.get("name")->source(), "line name '" + line.name +
                                             "': letters, digits, '_', '-' and '.' only, 1 to 32 of them");
    }
    const std::string label = line.name.empty() ? "line " + std::to_string(index + 1) : "line '" + line.name + "'";
    if (!line.name.empty()) {
        auto [it, fresh] = nameAt.emplace(line.name, t.source().begin.line);
        if (!fresh) c.Error(t.get("name")->source(), "a second line named '" + line.name + "' (the first is at line " +
                                                         std::to_string(it->second) + ")");
    }
    if (!c.Text(t, "device", line.device, at) && t.get("device") == nullptr) {
        c.Error(t.source(), label + " has no device (device = \"/dev/ttyUSB0\", for example)");
    } else if (t.get("device") != nullptr && t.get("device")->is_string() && line.device.empty()) {
        c.Error(t.get("device")->source(), label + ": the device is empty");
    }
    if (!line.device.empty()) {
        auto [it, fresh] = deviceAt.emplace(line.device, t.get("device")->source().begin.line);
        if (!fresh) c.Error(t.get("device")->source(), "device " + line.device + " is used by two lines (also at line " +
                                                           std::to_string(it->second) + ")");
    }
    std::int64_t v = 0;
    if (const toml::node* n = t.get("baud")) {
        if (!n->is_integer() || !ValidBaud(n->as_integer()->get())) {
            c.Error(n->source(), label + ": baud must be one of 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, "
                                         "38400, 57600, 115200");
        } else {
            line.baud = static_cast<std::uint32_t>(n->as_integer()->get());
        }
    }
    if (c.Text(t, "format", line.format, at) && !ValidFormat(line.format)) {
        c.Error(t.get("format")->source(), label + ": format must read \"parity=N data=8 stop=1\" (parity N E O M S, "
                                                   "data 5-8, stop 1 or 2)");
    }
    if (c.Integer(t, "echo_time_ms", 0, 60000, v, at)) line.echoTimeMs = static_cast<std::uint32_t>(v);
    if (c.Integer(t, "wait_time_ms", 0, 60000, v, at)) line.waitTimeMs = static_cast<std::uint32_t>(v);
    if (c.Integer(t, "tries", 1, 10, v, at)) line.tries = static_cast<std::uint32_t>(v);
    if (c.Integer(t, "filler_bytes", 0, 30, v, at)) line.fillerBytes = static_cast<std::uint32_t>(v);

    const toml::node* terminals = t.get("terminal");
    if (terminals == nullptr) {
        c.Error(t.source(), label + " has no terminals ([[line.terminal]] with a number)");
    } else if (!terminals->is_array_of_tables()) {
        c.Error(terminals->source(), label + ": terminal must be a list of tables ([[line.terminal]])");
    } else {
        std::map<int, std::uint32_t> numberAt;
        for (const toml::node& node : *terminals->as_array()) {
            const toml::table& tt = *node.as_table();
            c.Keys(tt, {"number", "kind", "name", "group"}, "[[line.terminal]]");
            TerminalConfig term;
            const toml::node* number = tt.get("number");
            if (number == nullptr) {
                c.Error(tt.source(), "a terminal of " + label + " has no number");
                continue;
            }
            if (!c.Integer(tt, "number", 0, 255, v, " of a terminal")) continue;
            term.number = static_cast<int>(v);
            auto [it, fresh] = numberAt.emplace(term.number, number->source().begin.line);
            if (!fresh) {
                c.Error(number->source(), "terminal " + std::to_string(term.number) + " appears twice on " + label +
                                              " (first at line " + std::to_string(it->second) + ")");
            }
            if (c.Text(tt, "kind", term.kind, " of a terminal") && term.kind != "payment" && term.kind != "attendance") {
                c.Error(tt.get("kind")->source(), "terminal " + std::to_string(term.number) +
                                                      ": kind must be \"payment\" or \"attendance\"");
            }
            if (!c.Text(tt, "name", term.name, " of a terminal")) term.name = "Terminal " + std::to_string(term.number);
            if (term.name.size() > 64) c.Error(tt.get("name")->source(), "terminal name longer than 64 characters");
            if (c.Text(tt, "group", term.group, " of a terminal") &&
                (!ValidName(term.group) || term.group == "site")) {
                c.Error(tt.get("group")->source(), "group '" + term.group +
                                                       "': letters, digits, '_', '-' and '.' only, 1 to 32 of them, "
                                                       "not \"site\"");
            }
            line.terminals.push_back(term);
        }
        if (terminals->as_array()->empty()) c.Error(terminals->source(), label + " has no terminals");
    }
    config.lines.push_back(std::move(line));
}

// [[http.user]]: a name, a role and a token (or a file holding it); names
// and tokens used once each.
void ReadUsers(Checker& c, const toml::table& h, const std::filesystem::path& dir, std::vector<HttpUser>& users) {
    const toml::node* n = h.get("user");
    if (n == nullptr) return;
    if (!n->is_array_of_tables()) {
        c.Error(n->source(), "user must be a list of tables ([[http.user]])");
        return;
    }
    for (const toml::node& node : *n->as_array()) {
        const toml::table& u = *node.as_table();
        c.Keys(u, {"name", "role", "token", "token_file"}, "[[http.user]]");
        HttpUser user;
        std::string file;
        const std::string at = " of a user";
        if (!c.Text(u, "name", user.name, at) || !ValidName(user.name)) {
            c.Error(u.source(), "a user needs a name: letters, digits, '_', '-' and '.' only, 1 to 32 of them");
            continue;
        }
        if (!c.Text(u, "role", user.role, at) || (user.role != "admin" && user.role != "read")) {
            c.Error(u.source(), "user '" + user.name + "': role must be \"admin\" or \"read\"");
            continue;
        }
        if (u.get("token") != nullptr && u.get("token_file") != nullptr) {
            c.Error(u.source(), "user '" + user.name + "' has token and token_file: give one of them");
            continue;
        }
        if (!c.Text(u, "token", user.token, at) && !Secret(c, u, "token_file", dir, file, user.token, at)) {
            if (u.get("token") == nullptr && u.get("token_file") == nullptr) {
                c.Error(u.source(), "user '" + user.name + "' has no token (token or token_file)");
            }
            continue;
        }
        if (user.token.size() < 16) {
            c.Error(u.source(), "user '" + user.name + "': the token must be at least 16 characters long");
            continue;
        }
        for (const HttpUser& other : users) {
            if (other.name == user.name) c.Error(u.source(), "a second user named '" + user.name + "'");
            if (other.token == user.token) c.Error(u.source(), "user '" + user.name + "' has the token of '" + other.name + "'");
        }
        users.push_back(std::move(user));
    }
}

}  // namespace

bool ParseDuration(const std::string& text, std::int64_t& ms) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 9) return false;
    const std::int64_t n = std::stoll(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    std::int64_t factor = 0;
    if (unit == "ms") factor = 1;
    else if (unit == "s") factor = 1000;
    else if (unit == "m") factor = 60'000;
    else if (unit == "h") factor = 3'600'000;
    else if (unit == "d") factor = 86'400'000;
    else return false;
    ms = n * factor;
    return true;
}

bool IsLoopback(const std::string& address) {
    if (address == "localhost" || address == "::1") return true;
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

namespace {

// A serial device by the file it is: "ttyS0" is /dev/ttyS0, and a link (a
// by-id name) is the device it points to.  Network devices ("tcp://...")
// are taken as written.
std::string DeviceFile(const std::string& device) {
    if (device.find("://") != std::string::npos) return device;
    const std::filesystem::path p = device.find('/') == std::string::npos ? "/dev/" + device : device;
    std::error_code ec;
    const auto real = std::filesystem::weakly_canonical(p, ec);
    return ec ? p.lexically_normal().string() : real.string();
}

// Two lines on one device (in two spellings) would each see the other's
// replies: refused.  The same spelling twice is reported where the line is
// read.
void SameDeviceTwice(Checker& c, const toml::node* lines, const Config& config) {
    if (lines == nullptr || !lines->is_array_of_tables()) return;
    std::map<std::string, std::pair<std::string, std::uint32_t>> seen;  // file -> spelling, line
    std::size_t i = 0;
    for (const toml::node& node : *lines->as_array()) {
        const toml::node* d = node.as_table()->get("device");
        if (d == nullptr || !d->is_string() || i >= config.lines.size()) {
            ++i;
            continue;
        }
        const std::string& device = config.lines[i++].device;
        if (device.empty()) continue;
        auto [it, fresh] = seen.emplace(DeviceFile(device), std::make_pair(device, d->source().begin.line));
        if (!fresh && it->second.first != device) {
            c.Error(d->source(), "device " + device + " is the same as " + it->second.first + " at line " +
                                     std::to_string(it->second.second) + " (" + it->first + "): one device, one line");
        }
    }
}

// A database that can never work: a directory, a folder that cannot be
// written, a PostgreSQL target that does not parse.
void DatabaseUsable(Checker& c, const toml::table& root, const Config& config) {
    const toml::node* n = root.get("database");
    auto fault = [&](const std::string& why) {
        if (n != nullptr) c.Error(n->source(), why);
        else c.errors.push_back(config.path + ": " + why);
    };
    if (IsPostgres(config.database)) {
#ifndef TALVO_WITH_POSTGRES
        fault("database: this talvod has no PostgreSQL client (the Windows build keeps its records in a SQLite "
              "file; PostgreSQL may come later): name a database file");
        return;
#else
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(config.database.c_str(), &error);
        if (options == nullptr) {
            std::string why = error != nullptr ? error : "out of memory";
            while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
            fault("database: the PostgreSQL target does not parse: " + why);
        }
        PQconninfoFree(options);
        PQfreemem(error);
        return;
#endif
    }
    std::error_code ec;
    if (std::filesystem::is_directory(config.database, ec)) {
        fault("database: " + config.database + " is a directory, not a database file");
        return;
    }
    const auto folder = std::filesystem::path(config.database).parent_path();
    if (std::filesystem::is_directory(folder, ec) && access(folder.string().c_str(), W_OK) != 0) {
        fault("database: cannot write in " + folder.string() + " (" + std::strerror(errno) + ")");
    }
}

// A section such as [http]: its table, or none (and an error when it is
// something else).
const toml::table* Section(Checker& c, const toml::table& root, const char* name) {
    const toml::node* n = root.get(name);
    if (n == nullptr) return nullptr;
    if (!n->is_table()) {
        c.Error(n->source(), std::string(name) + " must be a table ([" + name + "])");
        return nullptr;
    }
    return n->as_table();
}

// The database and this host's name.
void ReadTop(Checker& c, const toml::table& root, const std::filesystem::path& dir, Config& config) {
    config.database = (dir / "talvod.db").string();
    std::string database;
    if (c.Text(root, "database", database, "")) {
        if (database.empty()) c.Error(root.get("database")->source(), "database is empty");
        else if (IsPostgres(database)) config.database = database;
        else config.database = (dir / database).lexically_normal().string();
    }
    std::string password;
    if (Secret(c, root, "database_password_file", dir, config.databasePasswordFile, password, "")) {
        if (!IsPostgres(config.database)) {
            c.Error(root.get("database_password_file")->source(),
                    "database_password_file is for a PostgreSQL database (database = \"postgresql://...\")");
        } else {
            config.database = WithPassword(config.database, password);
        }
    }
    config.host = HostName();
    if (c.Text(root, "host", config.host, "") && !ValidName(config.host)) {
        c.Error(root.get("host")->source(), "host: letters, digits, '_', '-' and '.' only, 1 to 32 of them");
    }
}

void ReadHttp(Checker& c, const toml::table& h, const std::filesystem::path& dir, HttpConfig& http) {
    c.Keys(h, {"listen", "port", "token", "token_file", "currency", "health_without_token", "user"}, "[http]");
    if (const toml::node* b = h.get("health_without_token")) {
        if (!b->is_boolean()) c.Error(b->source(), "health_without_token must be true or false");
        else http.healthWithoutToken = b->as_boolean()->get();
    }
    std::int64_t v = 0;
    if (c.Text(h, "listen", http.listen, " in [http]")) {
        in_addr a4{};
        in6_addr a6{};
        if (http.listen != "localhost" && inet_pton(AF_INET, http.listen.c_str(), &a4) != 1 &&
            inet_pton(AF_INET6, http.listen.c_str(), &a6) != 1) {
            c.Error(h.get("listen")->source(), "listen must be an IP address such as \"127.0.0.1\" or \"0.0.0.0\"");
        }
    }
    if (c.Integer(h, "port", 0, 65535, v, " in [http]")) http.port = static_cast<int>(v);
    if (c.Text(h, "token", http.token, " in [http]") && http.token.size() < 16) {
        c.Error(h.get("token")->source(), "token must be at least 16 characters long");
    }
    if (h.get("token") != nullptr && h.get("token_file") != nullptr) {
        c.Error(h.get("token_file")->source(), "[http] has token and token_file: give one of them");
    } else if (Secret(c, h, "token_file", dir, http.tokenFile, http.token, " in [http]") &&
               http.token.size() < 16) {
        c.Error(h.get("token_file")->source(),
                "the token in " + http.tokenFile + " must be at least 16 characters long");
    }
    if (c.Text(h, "currency", http.currency, " in [http]") &&
        (http.currency.size() != 3 ||
         !std::all_of(http.currency.begin(), http.currency.end(),
                      [](char ch) { return ch >= 'A' && ch <= 'Z'; }))) {
        c.Error(h.get("currency")->source(), "currency must be a three-letter code such as \"EUR\"");
    }
    if (!http.token.empty()) http.users.push_back({"admin", "admin", http.token});
    ReadUsers(c, h, dir, http.users);
    if (!IsLoopback(http.listen) && http.users.empty()) {
        c.Error(h.get("listen") != nullptr ? h.get("listen")->source() : h.source(),
                "listening on " + http.listen + " (beyond the loopback) requires a token in [http]");
    }
}

void ReadJobs(Checker& c, const toml::table& j, JobsConfig& jobs) {
    c.Keys(j, {"collect", "status", "clock", "clock_at_start", "backoff_min", "backoff_max", "verify"}, "[jobs]");
    c.Duration(j, "verify", 1000, jobs.verifyMs);
    c.Duration(j, "collect", 100, jobs.collectMs);
    c.Duration(j, "status", 100, jobs.statusMs);
    c.Duration(j, "clock", 1000, jobs.clockMs);
    c.Duration(j, "backoff_min", 10, jobs.backoffMinMs);
    c.Duration(j, "backoff_max", 10, jobs.backoffMaxMs);
    if (const toml::node* b = j.get("clock_at_start")) {
        if (!b->is_boolean()) c.Error(b->source(), "clock_at_start must be true or false");
        else jobs.clockAtStart = b->as_boolean()->get();
    }
    if (jobs.backoffMaxMs < jobs.backoffMinMs) {
        c.Error(j.source(), "backoff_max is shorter than backoff_min");
    }
}

void ReadManage(Checker& c, const toml::table& m, JobsConfig& jobs) {
    c.Keys(m, {"foreign_cards"}, "[manage]");
    std::string foreign;
    if (c.Text(m, "foreign_cards", foreign, " in [manage]")) {
        if (foreign != "adopt" && foreign != "remove") {
            c.Error(m.get("foreign_cards")->source(),
                    "foreign_cards must be \"adopt\" (a card found on a terminal is blocked) or \"remove\"");
        } else {
            jobs.adoptForeignCards = foreign == "adopt";
        }
    }
}

// [alerts]: the rules' durations (0 turns one off) and the channels.
void ReadReports(Checker& c, const toml::table& r, const std::filesystem::path& dir, ReportsConfig& reports) {
    c.Keys(r, {"folder", "at", "day", "formats"}, "[reports]");
    const std::string at = " in [reports]";
    std::string folder, time, day;
    if (c.Text(r, "folder", folder, at)) {
        if (folder.empty()) c.Error(r.get("folder")->source(), "folder in [reports] is empty");
        else reports.folder = (dir / folder).lexically_normal().string();
    }
    if (c.Text(r, "at", time, at)) {
        const bool form = time.size() == 5 && time[2] == ':' && std::isdigit(static_cast<unsigned char>(time[0])) &&
                          std::isdigit(static_cast<unsigned char>(time[1])) &&
                          std::isdigit(static_cast<unsigned char>(time[3])) &&
                          std::isdigit(static_cast<unsigned char>(time[4]));
        const int minutes = form ? std::stoi(time.substr(0, 2)) * 60 + std::stoi(time.substr(3)) : -1;
        if (!form || minutes >= 24 * 60 || std::stoi(time.substr(3)) >= 60) {
            c.Error(r.get("at")->source(), "at in [reports] must be a local time HH:MM such as \"23:30\"");
        } else {
            reports.atMinute = minutes;
        }
    }
    if (c.Text(r, "day", day, at)) {
        if (day != "today" && day != "yesterday") {
            c.Error(r.get("day")->source(), "day in [reports] must be \"today\" or \"yesterday\"");
        }
        reports.yesterday = day == "yesterday";
    }
    if (const toml::node* f = r.get("formats")) {
        const toml::array* list = f->as_array();
        reports.csv = reports.html = false;
        bool ok = list != nullptr && !list->empty();
        if (list != nullptr) {
            for (const toml::node& e : *list) {
                const auto v = e.value<std::string>();
                if (v && *v == "csv") reports.csv = true;
                else if (v && *v == "html") reports.html = true;
                else ok = false;
            }
        }
        if (!ok) c.Error(f->source(), "formats in [reports] must be a list of \"csv\" and \"html\"");
    }
    if ((reports.folder.empty()) != (reports.atMinute < 0)) {
        c.Error(r.source(), "[reports] needs both folder and at");
    }
}

void ReadAlerts(Checker& c, const toml::table& a, const std::filesystem::path& dir, AlertsConfig& alerts) {
    c.Keys(a, {"check", "repeat", "silent_after", "line_after", "sync_after", "database_after", "rejected_within",
               "disk_free_below", "webhook_url", "webhook_secret", "webhook_secret_file", "webhook_timeout",
               "mail_server", "mail_from", "mail_to", "mail_user", "mail_password", "mail_password_file",
               "mail_require_tls"},
           "[alerts]");
    c.Duration(a, "check", 100, alerts.checkMs, "alerts");
    c.Duration(a, "repeat", 0, alerts.repeatMs, "alerts");
    c.Duration(a, "silent_after", 0, alerts.silentMs, "alerts");
    c.Duration(a, "line_after", 0, alerts.lineMs, "alerts");
    c.Duration(a, "sync_after", 0, alerts.syncMs, "alerts");
    c.Duration(a, "database_after", 0, alerts.databaseMs, "alerts");
    c.Duration(a, "rejected_within", 0, alerts.rejectedWithinMs, "alerts");
    c.Duration(a, "webhook_timeout", 100, alerts.webhookTimeoutMs, "alerts");
    std::int64_t v = 0;
    if (c.Integer(a, "disk_free_below", 0, 99, v, " in [alerts]")) alerts.diskFreeBelow = static_cast<int>(v);
    const std::string at = " in [alerts]";
    // Addresses and names go into mail headers and URLs: no control
    // characters (a line end would start a header of its own).
    auto plain = [&](const char* key, std::string& out) {
        if (!c.Text(a, key, out, at)) return;
        if (std::any_of(out.begin(), out.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; })) {
            c.Error(a.get(key)->source(), std::string(key) + at + " must not hold control characters");
            out.clear();
        }
    };
    plain("webhook_url", alerts.webhookUrl);
    if (!alerts.webhookUrl.empty() && alerts.webhookUrl.rfind("http://", 0) != 0 &&
        alerts.webhookUrl.rfind("https://", 0) != 0) {
        c.Error(a.get("webhook_url")->source(), "webhook_url must start with http:// or https://");
    }
    if (a.get("webhook_secret") != nullptr && a.get("webhook_secret_file") != nullptr) {
        c.Error(a.get("webhook_secret_file")->source(), "[alerts] has webhook_secret and webhook_secret_file: give one");
    } else if (!c.Text(a, "webhook_secret", alerts.webhookSecret, at)) {
        Secret(c, a, "webhook_secret_file", dir, alerts.webhookSecretFile, alerts.webhookSecret, at);
    }
    if (!alerts.webhookSecret.empty() && alerts.webhookUrl.empty()) {
        c.Error(a.source(), "[alerts] has a webhook secret but no webhook_url");
    }
    plain("mail_server", alerts.mailServer);
    if (!alerts.mailServer.empty() && alerts.mailServer.rfind("smtp://", 0) != 0 &&
        alerts.mailServer.rfind("smtps://", 0) != 0) {
        c.Error(a.get("mail_server")->source(), "mail_server must start with smtp:// or smtps://");
    }
    plain("mail_from", alerts.mailFrom);
    plain("mail_user", alerts.mailUser);
    if (const toml::node* to = a.get("mail_to")) {
        const auto address = [](const std::string& s) {
            return s.size() >= 3 && s.size() <= 254 && s.find('@') != std::string::npos &&
                   std::none_of(s.begin(), s.end(), [](char ch) {
                       return static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f || ch == '<' || ch == '>' || ch == ',';
                   });
        };
        std::vector<std::string> list;
        if (to->is_string()) list.push_back(to->as_string()->get());
        else if (to->is_array()) {
            for (const toml::node& e : *to->as_array()) list.push_back(e.is_string() ? e.as_string()->get() : "");
        }
        if (list.empty() || !std::all_of(list.begin(), list.end(), address)) {
            c.Error(to->source(), "mail_to must be an address (\"name@example.org\") or a list of them");
        } else {
            alerts.mailTo = list;
        }
    }
    if (a.get("mail_password") != nullptr && a.get("mail_password_file") != nullptr) {
        c.Error(a.get("mail_password_file")->source(), "[alerts] has mail_password and mail_password_file: give one");
    } else if (!c.Text(a, "mail_password", alerts.mailPassword, at)) {
        Secret(c, a, "mail_password_file", dir, alerts.mailPasswordFile, alerts.mailPassword, at);
    }
    if (const toml::node* b = a.get("mail_require_tls")) {
        if (!b->is_boolean()) c.Error(b->source(), "mail_require_tls must be true or false");
        else alerts.mailRequireTls = b->as_boolean()->get();
    }
    if (!alerts.mailServer.empty() && (alerts.mailFrom.empty() || alerts.mailTo.empty())) {
        c.Error(a.get("mail_server")->source(), "mail_server needs mail_from and mail_to");
    }
    if (alerts.mailServer.empty() && (!alerts.mailTo.empty() || !alerts.mailUser.empty())) {
        c.Error(a.source(), "[alerts] names mail recipients or a mail user but no mail_server");
    }
}

}  // namespace

bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors) {
    config = Config{};
    config.path = path;
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        const auto& where = e.source();
        if (where.begin.line == 0) {
            errors.push_back(path + ": " + std::string(e.description()));
        } else {
            errors.push_back(path + ":" + std::to_string(where.begin.line) + ": " + std::string(e.description()));
        }
        return false;
    }
    Checker c(path);
    c.Keys(root, {"database", "database_password_file", "host", "http", "jobs", "manage", "alerts", "reports", "line"}, "");
    const std::filesystem::path dir = std::filesystem::absolute(path).parent_path();
    ReadTop(c, root, dir, config);
    if (const toml::table* h = Section(c, root, "http")) ReadHttp(c, *h, dir, config.http);
    if (const toml::table* j = Section(c, root, "jobs")) ReadJobs(c, *j, config.jobs);
    if (const toml::table* m = Section(c, root, "manage")) ReadManage(c, *m, config.jobs);
    if (const toml::table* a = Section(c, root, "alerts")) ReadAlerts(c, *a, dir, config.alerts);
    if (const toml::table* r = Section(c, root, "reports")) ReadReports(c, *r, dir, config.reports);

    const toml::node* lines = root.get("line");
    std::map<std::string, std::uint32_t> deviceAt, nameAt;
    if (lines == nullptr) {
        c.errors.push_back(path + ": no line configured ([[line]] with a device and terminals)");
    } else if (!lines->is_array_of_tables()) {
        c.Error(lines->source(), "line must be a list of tables ([[line]])");
    } else {
        int index = 0;
        for (const toml::node& node : *lines->as_array()) ReadLine(c, *node.as_table(), index++, config, deviceAt, nameAt);
    }
    SameDeviceTwice(c, lines, config);
    DatabaseUsable(c, root, config);
    errors = c.errors;
    return errors.empty();
}

}  // namespace talvo::service

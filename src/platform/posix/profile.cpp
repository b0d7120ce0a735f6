// Settings file for Linux: the private-profile format read and written the
// way the Win32 profile functions do for what the library uses.
#include "platform/platform.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace talvo::platform::profile {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path, bool& crlf) {
    std::vector<std::string> lines;
    crlf = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            crlf = true;
        }
        lines.push_back(line);
    }
    return lines;
}

// A section header "[name]" gives its trimmed name.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    std::size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// A key line "key = value" gives its trimmed key and value.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return false;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

bool Lookup(const std::string& section, const std::string& key, const std::string& path, std::string& out) {
    bool crlf = false;
    std::vector<std::string> lines = ReadLines(path, crlf);
    bool inSection = false;
    for (const std::string& line : lines) {
        std::string name;
        if (SectionName(line, name)) {
            inSection = SameName(name, section);
            continue;
        }
        std::string k;
        std::string v;
        if (inSection && KeyValue(line, k, v) && SameName(k, key)) {
            // The Win32 reader drops one pair of enclosing quotes.
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
                v = v.substr(1, v.size() - 2);
            }
            out = v;
            return true;
        }
    }
    return false;
}

void MakeDirectories(const std::string& dir) {
    // Each prefix that ends before a '/' and the whole path, in order.
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at == dir.size() || dir[at] == '/') ::mkdir(dir.substr(0, at).c_str(), 0755);
    }
}

}  // namespace

std::string WindowsDirectory() {
    const char* own = std::getenv("TALVO_WINDIR");
    if (own != nullptr && *own != '\0') return own;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/talvo";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.config/talvo";
}

char PathSeparator() { return '/'; }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path, std::size_t capacity) {
    std::string value;
    if (!Lookup(section, key, path, value)) value = Trim(def);
    if (capacity == 0) return std::string();
    if (value.size() > capacity - 1) value.resize(capacity - 1);
    return value;
}

std::uint32_t ReadInt(const std::string& section, const std::string& key, std::uint32_t def,
                      const std::string& path) {
    std::string value;
    if (!Lookup(section, key, path, value) || value.empty()) return def;
    // Decimal with an optional sign, up to the first other character; the
    // result wraps to 32 bits, so "-1" reads as 4294967295.
    std::size_t i = 0;
    bool negative = false;
    if (value[i] == '-' || value[i] == '+') {
        negative = value[i] == '-';
        ++i;
    }
    std::uint32_t result = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        result = result * 10u + static_cast<std::uint32_t>(value[i] - '0');
    }
    return negative ? 0u - result : result;
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
    bool crlf = false;
    std::vector<std::string> lines = ReadLines(path, crlf);
    const char* eol = crlf ? "\r\n" : "\n";

    int sectionLine = -1;
    int insertAt = -1;  // one past the last non-blank line of the section
    bool inSection = false;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        std::string name;
        if (SectionName(lines[i], name)) {
            if (inSection) break;
            if (sectionLine < 0 && SameName(name, section)) {
                inSection = true;
                sectionLine = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection) continue;
        std::string k;
        std::string v;
        if (KeyValue(lines[i], k, v) && SameName(k, key)) {
            lines[i] = key + "=" + value;
            insertAt = -2;
            break;
        }
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
    }
    if (sectionLine < 0) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(key + "=" + value);
    } else if (insertAt >= 0) {
        lines.insert(lines.begin() + insertAt, key + "=" + value);
    }

    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) MakeDirectories(path.substr(0, slash));
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        for (const std::string& line : lines) out << line << eol;
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace talvo::platform::profile

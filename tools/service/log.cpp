#include "log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "db/store.h"

namespace talvo::service {
namespace {

std::atomic<int> threshold{static_cast<int>(Level::kInfo)};
std::mutex outputLock;

// The log file, when standard error goes to one.  Under outputLock.
struct LogFile {
    std::string path;
    std::uintmax_t limit = 0;
    int keep = 0;
    std::uintmax_t size = 0;
} file;

#ifdef _WIN32
constexpr const char* kNowhere = "NUL";
#else
constexpr const char* kNowhere = "/dev/null";
#endif

// PATH becomes PATH.1, PATH.1 PATH.2..., the oldest goes; standard error
// starts a new PATH.  (Windows renames no file that is open: standard
// error is let go of first.)  Under outputLock.
void Rotate() {
    std::fflush(stderr);
    if (std::freopen(kNowhere, "a", stderr) == nullptr) return;
    std::error_code ec;
    const auto numbered = [](int n) { return file.path + "." + std::to_string(n); };
    std::filesystem::remove(numbered(file.keep), ec);
    for (int n = file.keep - 1; n >= 1; --n) std::filesystem::rename(numbered(n), numbered(n + 1), ec);
    std::filesystem::rename(file.path, numbered(1), ec);
    if (std::freopen(file.path.c_str(), "a", stderr) != nullptr) file.size = 0;
}

// A value goes out bare when it is a plain word, in quotes otherwise, with
// line breaks and control characters escaped: one event is one line.
std::string Quoted(const std::string& v) {
    bool plain = !v.empty();
    for (unsigned char c : v) {
        if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c == 0x7F) plain = false;
    }
    if (plain) return v;
    std::string out = "\"";
    for (unsigned char c : v) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < ' ' || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

void SetLogLevel(Level level) { threshold = static_cast<int>(level); }

void Log(Level level, const char* event, std::initializer_list<Field> fields) {
    if (static_cast<int>(level) > threshold) return;
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    static const char* names[] = {"error", "warning", "info", "debug"};
    static const char* priorities[] = {"<3>", "<4>", "<6>", "<7>"};
    const int l = static_cast<int>(level);
    std::string line = journal ? std::string(priorities[l]) : UtcNow() + " ";
    line += names[l];
    line += ' ';
    line += event;
    for (const Field& f : fields) {
        line += ' ';
        line += f.first;
        line += '=';
        line += Quoted(f.second);
    }
    line += '\n';
    std::lock_guard<std::mutex> hold(outputLock);
    if (!file.path.empty() && file.size + line.size() > file.limit) Rotate();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    file.size += line.size();
}

bool LogToFile(const std::string& path, std::uintmax_t limit, int keep) {
    std::lock_guard<std::mutex> hold(outputLock);
    std::FILE* probe = std::fopen(path.c_str(), "a");
    if (probe == nullptr) return false;
    std::fclose(probe);
    std::fflush(stderr);
    if (std::freopen(path.c_str(), "a", stderr) == nullptr) return false;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    file = LogFile{path, limit, keep < 1 ? 1 : keep, ec ? 0 : size};
    return true;
}

}  // namespace talvo::service

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

// The log file, when the lines go to one rather than to standard error.
// Under outputLock.
struct LogFile {
    std::string path;
    std::uintmax_t limit = 0;
    int keep = 0;
    std::uintmax_t size = 0;
    std::FILE* out = nullptr;
} file;

// PATH becomes PATH.1, PATH.1 PATH.2..., the oldest goes, and a new PATH
// starts.  (Windows renames no file that is open: it is closed first.)
// Under outputLock.
void Rotate() {
    std::fclose(file.out);
    std::error_code ec;
    const auto numbered = [](int n) { return file.path + "." + std::to_string(n); };
    std::filesystem::remove(numbered(file.keep), ec);
    for (int n = file.keep - 1; n >= 1; --n) std::filesystem::rename(numbered(n), numbered(n + 1), ec);
    std::filesystem::rename(file.path, numbered(1), ec);
    file.out = std::fopen(file.path.c_str(), "a");
    file.size = 0;
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
    if (file.out != nullptr && file.size + line.size() > file.limit) Rotate();
    std::FILE* out = file.out != nullptr ? file.out : stderr;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
    file.size += line.size();
}

bool LogToFile(const std::string& path, std::uintmax_t limit, int keep) {
    std::lock_guard<std::mutex> hold(outputLock);
    std::FILE* out = std::fopen(path.c_str(), "a");
    if (out == nullptr) return false;
    if (file.out != nullptr) std::fclose(file.out);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    file = LogFile{path, limit, keep < 1 ? 1 : keep, ec ? 0 : size, out};
    return true;
}

}  // namespace talvo::service

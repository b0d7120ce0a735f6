#include "log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "db/store.h"

namespace talvo::service {
namespace {

std::atomic<int> threshold{static_cast<int>(Level::kInfo)};
std::mutex outputLock;

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
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace talvo::service

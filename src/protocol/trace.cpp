#include "protocol/trace.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace talvo::trace {
namespace {

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int PairAt(const unsigned char* bytes, std::uint32_t count, std::uint32_t at) {
    if (at + 1 >= count) return -1;
    int hi = HexValue(bytes[at]);
    int lo = HexValue(bytes[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

int RequestTerminal(const unsigned char* bytes, std::uint32_t count) { return PairAt(bytes, count, 3); }
int RequestCommand(const unsigned char* bytes, std::uint32_t count) { return PairAt(bytes, count, 5); }

void Frame(const std::string& target, Direction direction, const unsigned char* bytes, std::uint32_t count,
           int terminal, int command) {
    if (target.empty()) return;
    std::string hex;
    std::string text;
    char item[4];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, "%02X", static_cast<unsigned>(bytes[i]));
        if (i > 0) hex += ' ';
        hex += item;
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    }
    const platform::clock::LocalTime now = platform::clock::Now();
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03u %s terminal=%d command=%02X len=%u",
                  now.year, now.month, now.day, now.hour, now.minute, now.second, static_cast<unsigned>(now.millisecond),
                  direction == Direction::kSent ? "send" : "recv", terminal, command & 0xFF,
                  static_cast<unsigned>(count));
    std::FILE* out = target == "-" ? stderr : std::fopen(target.c_str(), "a");
    if (out == nullptr) return;
    std::fprintf(out, "%s | %s | %s\n", head, hex.c_str(), text.c_str());
    if (out == stderr) std::fflush(out);
    else std::fclose(out);
}

}  // namespace talvo::trace

// The 43 exports' clock, time zone and lock commands of the consumption
// terminal.
#include <cstring>

#include "commands/clock_zones.h"
#include "platform/platform.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

namespace {
constexpr std::size_t kZoneBlock = 120;  // 8 slots of 15 bytes
constexpr std::size_t kSlot = 15;
}  // namespace

extern "C" {

TALVO_API int TALVO_CALL ReadTimeZone(int terminal, char** zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        // The block is the host's on every path, all zero when nothing came.
        auto* block = static_cast<char*>(platform::memory::AllocateForHost(kZoneBlock, true));
        if (block == nullptr) return 0;
        *zones = block;
        ZoneDigits read;
        family::ReadZones(line, terminal, read);
        // Only zones whose four characters the payload holds.
        for (std::uint32_t k = 0; k < read.whole; ++k) {
            const unsigned char* p = read.digits + kZoneLength * k;
            char* slot = block + kSlot * k;
            slot[0] = static_cast<char>(p[0]);
            slot[1] = static_cast<char>(p[1]);
            slot[2] = ':';
            slot[3] = static_cast<char>(p[2]);
            slot[4] = static_cast<char>(p[3]);
            slot[5] = '\0';
        }
        return 1;
    });
}

TALVO_API int TALVO_CALL SetTimeZone(int terminal, const char* zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char digits[kZoneLength * kZones];
        for (std::size_t k = 0; k < kZones; ++k) {
            const char* slot = zones + kSlot * k;
            digits[4 * k] = static_cast<unsigned char>(slot[0]);
            digits[4 * k + 1] = static_cast<unsigned char>(slot[1]);
            digits[4 * k + 2] = static_cast<unsigned char>(slot[3]);
            digits[4 * k + 3] = static_cast<unsigned char>(slot[4]);
        }
        family::SetZones(line, terminal, digits);
        return 1;
    });
}

TALVO_API int TALVO_CALL ReadMachTime(int terminal, char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ClockDigits read;
        if (!ReadClock(line, terminal, read).accepted) return 0;
        // A reply without the ten clock characters leaves the text alone.
        if (!read.present) return 1;
        const unsigned char* p = read.digits;
        const char composed[15] = {static_cast<char>(p[0]), static_cast<char>(p[1]), '/',
                                   static_cast<char>(p[2]), static_cast<char>(p[3]), '/',
                                   static_cast<char>(p[4]), static_cast<char>(p[5]), '*',
                                   static_cast<char>(p[6]), static_cast<char>(p[7]), ':',
                                   static_cast<char>(p[8]), static_cast<char>(p[9]), '\0'};
        // Copied as a text: a zero byte among the characters ends it there.
        const std::size_t length = ::strnlen(composed, 14);
        std::memcpy(timeText, composed, length);
        timeText[length] = '\0';
        return 1;
    });
}

TALVO_API int TALVO_CALL SetMachTime(int terminal, const char* timeText) {
    // Positions up to 15 are read: a shorter text would be read past its end
    // (measured no further than those 16 characters).
    if (timeText == nullptr || !ValidTerminal(terminal) || ::strnlen(timeText, 16) < 16) return 0;
    static const int kDigits[10] = {2, 3, 5, 6, 8, 9, 11, 12, 14, 15};
    unsigned char digits[kClockLength];
    for (int i = 0; i < 10; ++i) digits[i] = static_cast<unsigned char>(timeText[kDigits[i]]);
    return WithPort(0, [&](Line& line) { return SetClock(line, terminal, digits).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL BlockMach(int terminal) {
    return AcceptedBy(terminal, Lock);
}

TALVO_API int TALVO_CALL UnBlockMach(int terminal) {
    return AcceptedBy(terminal, Unlock);
}

}  // extern "C"

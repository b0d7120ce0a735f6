// The 43 exports' attendance terminal commands: attendance time zones,
// reason texts, clock.
#include <cstring>

#include "commands/attendance.h"
#include "platform/platform.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

namespace {
constexpr std::size_t kZoneBlock = 120;
constexpr std::size_t kSlot = 15;
// Bytes of a slot that travel on the line, in order.
constexpr int kSlotBytes[10] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13};
}  // namespace

extern "C" {

TALVO_API int TALVO_CALL SetAttendTimeZone(int terminal, const char* zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[kAttendZoneLength * kZones];
        for (std::size_t k = 0; k < kZones; ++k) {
            for (std::size_t i = 0; i < 10; ++i) {
                payload[10 * k + i] = static_cast<unsigned char>(zones[kSlot * k + static_cast<std::size_t>(kSlotBytes[i])]);
            }
        }
        SetAttendZones(line, terminal, payload);
        return 1;
    });
}

TALVO_API int TALVO_CALL ReadAttendTimeZone(int terminal, char** zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        auto* block = static_cast<char*>(platform::memory::AllocateForHost(kZoneBlock, true));
        if (block == nullptr) return 0;
        *zones = block;
        AttendZoneChars read;
        ReadAttendZones(line, terminal, read);
        for (std::uint32_t k = 0; k < read.whole; ++k) {
            const unsigned char* c = read.chars + kAttendZoneLength * k;
            const char laid[15] = {static_cast<char>(c[0]), static_cast<char>(c[1]), ':', static_cast<char>(c[2]),
                                   static_cast<char>(c[3]), '\0', static_cast<char>(c[4]), static_cast<char>(c[5]),
                                   ':', static_cast<char>(c[6]), static_cast<char>(c[7]), '\0',
                                   static_cast<char>(c[8]), static_cast<char>(c[9]), '\0'};
            std::memcpy(block + kSlot * k, laid, sizeof laid);
        }
        return 1;
    });
}

TALVO_API int TALVO_CALL SetAttendReason(int terminal, int reasonNo, const char* reason) {
    if (reason == nullptr || !ValidTerminal(terminal)) return 0;
    unsigned char bytes[8];
    std::memcpy(bytes, reason, sizeof bytes);
    return WithPort(0, [&](Line& line) { return SetReason(line, terminal, reasonNo, bytes).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL ReadAttendReason(int terminal, int reasonNo, char* reason) {
    if (reason == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        // 2000 ms to collect the reply, whatever the settings file says.
        ReasonText read;
        if (!ReadReason(line, terminal, reasonNo, kReasonWait, read).accepted) return 0;
        std::memcpy(reason, read.text, read.length);
        reason[read.length] = '\0';
        return 1;
    });
}

TALVO_API int TALVO_CALL SetAttendTime(int terminal, const char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    // Measured no further than the largest frame allows; longer is refused.
    const std::size_t n = ::strnlen(timeText, kMaxPayload + 1);
    return WithPort(0, [&](Line& line) {
        return SetAttendClock(line, terminal, reinterpret_cast<const unsigned char*>(timeText), n).accepted ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL ReadAttendTime(int terminal, char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        AttendClockChars read;
        if (!ReadAttendClock(line, terminal, read).accepted) return 0;
        // Exactly 14 bytes, no terminator; a shorter reply leaves the text alone.
        if (read.present) std::memcpy(timeText, read.chars, kAttendClockLength);
        return 1;
    });
}

}  // extern "C"

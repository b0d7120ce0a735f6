// Attendance terminal commands: attendance time zones, reason texts, clock.
#include <cstring>

#include "platform/platform.h"
#include "protocol/codec.h"
#include "commands/families.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

constexpr std::size_t kZoneBlock = 120;
constexpr std::size_t kSlot = 15;
// Bytes of a slot that travel on the line, in order.
constexpr int kSlotBytes[10] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13};

using SetAttendTimeZoneCommand = Command<0x28>;
using ReadAttendTimeZoneCommand = Command<0x38>;
using SetAttendReasonCommand = Command<0x28>;
class ReadAttendReasonCommand : public TerminalCommand {
public:
    // The terminal takes its time with reasons: 2000 ms to collect the
    // reply, whatever the settings file says.
    explicit ReadAttendReasonCommand(Line& line) : TerminalCommand(line, 0x38) { waitTime = 2000; }
};
using SetAttendTimeCommand = Command<0x2A>;
using ReadAttendTimeCommand = Command<0x3A>;

}  // namespace

namespace talvo::family {

std::size_t DecodeReason(const unsigned char* payload, std::uint32_t length, char* reason) {
    // Only the pairs the payload holds; a 0x0F byte ends the reason.
    const std::uint32_t pairs = payload == nullptr ? 0 : length / 2;
    std::uint32_t i = 0;
    for (; i < 8 && i < pairs; ++i) {
        const unsigned char b = GetHexPair(payload, 2 * i);
        if (b == 0x0F) break;
        reason[i] = static_cast<char>(b);
    }
    return i;
}

}  // namespace talvo::family

extern "C" {

TALVO_API int TALVO_CALL SetAttendTimeZone(int terminal, const char* zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[80];
        for (std::size_t k = 0; k < 8; ++k) {
            for (std::size_t i = 0; i < 10; ++i) {
                payload[10 * k + i] = static_cast<unsigned char>(zones[kSlot * k + static_cast<std::size_t>(kSlotBytes[i])]);
            }
        }
        SetAttendTimeZoneCommand command(line);
        command.Transact(terminal, 0, 0, 8, payload, sizeof payload);
        return 1;
    });
}

TALVO_API int TALVO_CALL ReadAttendTimeZone(int terminal, char** zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadAttendTimeZoneCommand command(line);
        auto* block = static_cast<char*>(platform::memory::AllocateForHost(kZoneBlock, true));
        if (block == nullptr) return 0;
        *zones = block;
        command.Transact(terminal, 0, 0, 8);
        const unsigned char* p = command.ReplyPayload();
        const std::uint32_t whole = command.ReplyPayloadLength() / 10;
        for (std::uint32_t k = 0; k < 8 && k < whole; ++k) {
            char* slot = block + kSlot * k;
            const unsigned char* c = p + 10 * k;
            const char laid[15] = {static_cast<char>(c[0]), static_cast<char>(c[1]), ':', static_cast<char>(c[2]),
                                   static_cast<char>(c[3]), '\0', static_cast<char>(c[4]), static_cast<char>(c[5]),
                                   ':', static_cast<char>(c[6]), static_cast<char>(c[7]), '\0',
                                   static_cast<char>(c[8]), static_cast<char>(c[9]), '\0'};
            std::memcpy(slot, laid, sizeof laid);
        }
        return 1;
    });
}

TALVO_API int TALVO_CALL SetAttendReason(int terminal, int reasonNo, const char* reason) {
    if (reason == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[16];
        for (std::uint32_t i = 0; i < 8; ++i) PutHexPair(payload, 2 * i, static_cast<unsigned char>(reason[i]));
        SetAttendReasonCommand command(line);
        command.Transact(terminal, 0, 0, reasonNo, payload, sizeof payload);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReadAttendReason(int terminal, int reasonNo, char* reason) {
    if (reason == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadAttendReasonCommand command(line);
        command.Transact(terminal, 0, 0, reasonNo);
        if (command.IsAccepted() == 0) return 0;
        char decoded[9];
        const std::size_t n = family::DecodeReason(command.ReplyPayload(), command.ReplyPayloadLength(), decoded);
        std::memcpy(reason, decoded, n);
        reason[n] = '\0';
        return 1;
    });
}

TALVO_API int TALVO_CALL SetAttendTime(int terminal, const char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        SetAttendTimeCommand command(line);
        // Measured no further than the largest frame allows; longer is refused.
        const std::size_t n = ::strnlen(timeText, kMaxPayload + 1);
        command.Transact(terminal, 0, 0, 1, reinterpret_cast<const unsigned char*>(timeText),
                         static_cast<std::uint32_t>(n));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReadAttendTime(int terminal, char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadAttendTimeCommand command(line);
        command.Transact(terminal, 0, 0, 0);
        if (command.IsAccepted() == 0) return 0;
        // Exactly 14 bytes, no terminator; a shorter reply leaves the text alone.
        if (command.ReplyPayloadLength() < 14) return 1;
        std::memcpy(timeText, command.ReplyPayload(), 14);
        return 1;
    });
}

}  // extern "C"

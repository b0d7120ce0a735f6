// Clock, time zone and lock commands of the consumption terminal.
#include <cstring>

#include "platform/platform.h"
#include "commands/families.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

constexpr std::size_t kZoneBlock = 120;  // 8 slots of 15 bytes
constexpr std::size_t kSlot = 15;

using ReadTimeZoneCommand = Command<0x38>;
using SetTimeZoneCommand = Command<0x28>;
using ReadMachTimeCommand = Command<0x3A>;
using SetMachTimeCommand = Command<0x2A>;
using BlockMachCommand = Command<0x2B>;
using UnBlockMachCommand = Command<0x3B>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL ReadTimeZone(int terminal, char** zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadTimeZoneCommand command(line);
        // The block is the host's on every path, all zero when nothing came.
        auto* block = static_cast<char*>(platform::memory::AllocateForHost(kZoneBlock, true));
        if (block == nullptr) return 0;
        *zones = block;
        command.Transact(terminal, 0, 0, 8);
        const unsigned char* p = command.ReplyPayload();
        // Only zones whose four characters the payload holds.
        const std::uint32_t whole = command.ReplyPayloadLength() / 4;
        for (std::uint32_t k = 0; k < 8 && k < whole; ++k) {
            char* slot = block + kSlot * k;
            slot[0] = static_cast<char>(p[4 * k]);
            slot[1] = static_cast<char>(p[4 * k + 1]);
            slot[2] = ':';
            slot[3] = static_cast<char>(p[4 * k + 2]);
            slot[4] = static_cast<char>(p[4 * k + 3]);
            slot[5] = '\0';
        }
        return 1;
    });
}

TALVO_API int TALVO_CALL SetTimeZone(int terminal, const char* zones) {
    if (zones == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[32];
        for (std::size_t k = 0; k < 8; ++k) {
            const char* slot = zones + kSlot * k;
            payload[4 * k] = static_cast<unsigned char>(slot[0]);
            payload[4 * k + 1] = static_cast<unsigned char>(slot[1]);
            payload[4 * k + 2] = static_cast<unsigned char>(slot[3]);
            payload[4 * k + 3] = static_cast<unsigned char>(slot[4]);
        }
        SetTimeZoneCommand command(line);
        command.Transact(terminal, 0, 0, 8, payload, sizeof payload);
        return 1;
    });
}

TALVO_API int TALVO_CALL ReadMachTime(int terminal, char* timeText) {
    if (timeText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadMachTimeCommand command(line);
        command.Transact(terminal, 0, 0, 0);
        if (command.IsAccepted() == 0) return 0;
        const unsigned char* p = command.ReplyPayload();
        // A reply without the ten clock characters leaves the text alone.
        if (command.ReplyPayloadLength() < 10) return 1;
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
    return WithPort(0, [&](Line& line) {
        static const int kDigits[10] = {2, 3, 5, 6, 8, 9, 11, 12, 14, 15};
        unsigned char payload[10];
        for (int i = 0; i < 10; ++i) payload[i] = static_cast<unsigned char>(timeText[kDigits[i]]);
        SetMachTimeCommand command(line);
        command.Transact(terminal, 0, 0, 6, payload, sizeof payload);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL BlockMach(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return BlockMachCommand(line).RunEmpty(terminal); });
}

TALVO_API int TALVO_CALL UnBlockMach(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return UnBlockMachCommand(line).RunEmpty(terminal); });
}

}  // extern "C"

// Parameter and status commands: terminal status, memory clear, the CMW text
// and the mdeb amount.
#include <cstring>

#include "commands/families.h"
#include "protocol/codec.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;
using namespace talvo::family;

namespace {

using InqStatCommand = Command<kInqStat>;
using ClearRamCommand = Command<kClearRam>;
using ReadCmwCommand = Command<kReadCmw>;
using SetCmwCommand = Command<kSetCmw>;
using ReadMdebCommand = Command<kReadMdeb>;
using SetMdebCommand = Command<kSetMdeb>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL InqStat(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return InqStatCommand(line).RunEmpty(terminal); });
}

TALVO_API int TALVO_CALL ClearRAM(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return ClearRamCommand(line).RunClear(terminal); });
}

TALVO_API int TALVO_CALL ReadCMW(int terminal, char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadCmwCommand command(line);
        command.Transact(terminal, 0, 0, 6);
        // A reply with fewer than 12 characters is not a CMW text.
        if (command.ReplyPayload() == nullptr || command.ReplyPayloadLength() < kCmwLength) return 0;
        std::memcpy(text, command.ReplyPayload(), kCmwLength);
        text[kCmwLength] = '\0';
        return command.lastResult == TALVO_OK ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL Setcmw(int terminal, const char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[kCmwLength];
        std::memset(payload, '0', sizeof payload);
        // No further than the characters used: the host's text need not end
        // within them.
        std::memcpy(payload, text, ::strnlen(text, kCmwLength));
        SetCmwCommand command(line);
        command.Transact(terminal, 0, 0, 6, payload, kCmwLength);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL Readmdeb(int terminal, float* amount) {
    if (amount == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadMdebCommand command(line);
        command.Transact(terminal, 0, 0, 3);
        if (command.ReplyLength() < kFrameOverhead + kAmountLength) return 0;
        *amount = static_cast<float>(DecodeAmount(command.ReplyPayload(), 0));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL Setmdeb(int terminal, float amount) {
    // An amount the six characters cannot carry is refused, never sent altered.
    if (!ValidTerminal(terminal) || !AmountFits(amount)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[kAmountLength];
        EncodeAmount(payload, 0, amount == 0.0f ? 0.0f : amount);
        SetMdebCommand command(line);
        command.Transact(terminal, 0, 0, 1, payload, kAmountLength);
        return command.IsAccepted();
    });
}

}  // extern "C"

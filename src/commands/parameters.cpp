// Parameter and status commands: terminal status, memory clear, the CMW text
// and the mdeb amount.
#include <cstring>

#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

enum Code : std::uint8_t {
    kInqStat = 0x10,
    kClearRam = 0x4A,
    kReadCmw = 0x32,
    kSetCmw = 0x22,
    kReadMdeb = 0x33,
    kSetMdeb = 0x23,
};

constexpr std::uint32_t kCmwLength = 12;
constexpr std::uint32_t kAmountLength = 6;

using InqStatCommand = Command<kInqStat>;
using ClearRamCommand = Command<kClearRam>;
using ReadCmwCommand = Command<kReadCmw>;
using SetCmwCommand = Command<kSetCmw>;
using ReadMdebCommand = Command<kReadMdeb>;
using SetMdebCommand = Command<kSetMdeb>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL InqStat(int terminal) {
    return WithPort(0, [&] { return InqStatCommand().RunEmpty(terminal); });
}

TALVO_API int TALVO_CALL ClearRAM(int terminal) {
    return WithPort(0, [&] { return ClearRamCommand().RunClear(terminal); });
}

TALVO_API int TALVO_CALL ReadCMW(int terminal, char* text) {
    if (text == nullptr) return 0;
    return WithPort(0, [&] {
        ReadCmwCommand command;
        command.Transact(terminal, 0, 0, 6);
        // A reply with fewer than 12 characters is not a CMW text.
        if (command.ReplyPayload() == nullptr || command.ReplyPayloadLength() < kCmwLength) return 0;
        std::memcpy(text, command.ReplyPayload(), kCmwLength);
        text[kCmwLength] = '\0';
        return command.lastResult == kSuccess ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL Setcmw(int terminal, const char* text) {
    if (text == nullptr) return 0;
    return WithPort(0, [&] {
        unsigned char payload[kCmwLength];
        std::memset(payload, '0', sizeof payload);
        const std::size_t n = std::strlen(text);
        std::memcpy(payload, text, n < kCmwLength ? n : kCmwLength);
        SetCmwCommand command;
        command.Transact(terminal, 0, 0, 6, payload, kCmwLength);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL Readmdeb(int terminal, float* amount) {
    if (amount == nullptr) return 0;
    return WithPort(0, [&] {
        ReadMdebCommand command;
        command.Transact(terminal, 0, 0, 3);
        if (command.ReplyLength() < kFrameOverhead + kAmountLength) return 0;
        *amount = static_cast<float>(DecodeAmount(command.ReplyPayload(), 0));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL Setmdeb(int terminal, float amount) {
    return WithPort(0, [&] {
        unsigned char payload[kAmountLength];
        EncodeAmount(payload, 0, amount);
        SetMdebCommand command;
        command.Transact(terminal, 0, 0, 1, payload, kAmountLength);
        return command.IsAccepted();
    });
}

}  // extern "C"

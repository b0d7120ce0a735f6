#include "commands/parameters.h"

#include <cstring>

#include "commands/request.h"

namespace talvo::family {

Outcome Status(Line& line, int terminal) { return StatusOnly<kInqStat>(line, terminal, {}); }

Outcome ClearMemory(Line& line, int terminal) { return StatusOnly<kClearRam>(line, terminal, {0, 0, 101}); }

Outcome ReadCmw(Line& line, int terminal, CmwText& out) {
    Command<kReadCmw> command(line);
    const Outcome o = Run(command, terminal, {0, 0, 6});
    // A reply with fewer than 12 characters is not a CMW text.
    if (command.ReplyPayloadLength() >= kCmwLength) {
        out.present = true;
        std::memcpy(out.text, command.ReplyPayload(), kCmwLength);
    }
    return o;
}

Outcome SetCmw(Line& line, int terminal, const char* text, std::size_t length) {
    unsigned char payload[kCmwLength];
    std::memset(payload, '0', sizeof payload);
    std::memcpy(payload, text, length < kCmwLength ? length : kCmwLength);
    return StatusOnly<kSetCmw>(line, terminal, {0, 0, 6, payload, kCmwLength});
}

Outcome ReadMdeb(Line& line, int terminal, AmountReply& out) {
    Command<kReadMdeb> command(line);
    const Outcome o = Run(command, terminal, {0, 0, 3});
    if (command.ReplyPayloadLength() >= kAmountLength) {
        out.present = true;
        std::memcpy(out.amount.chars, command.ReplyPayload(), kAmountLength);
    }
    return o;
}

Outcome SetMdeb(Line& line, int terminal, const AmountText& amount) {
    return StatusOnly<kSetMdeb>(line, terminal, {0, 0, 1, amount.chars, kAmountLength});
}

}  // namespace talvo::family

#include "commands/card_key.h"

#include "commands/request.h"

namespace talvo::family {

Outcome CheckKey(Line& line, int terminal, const unsigned char (&key)[kKeyLength]) {
    return StatusOnly<kCheckKey>(line, terminal, {0, 0, 1, key, kKeyLength});
}

Outcome SetKey(Line& line, int terminal, const unsigned char (&key)[kKeyLength]) {
    return StatusOnly<kSetKey>(line, terminal, {0, 0, 1, key, kKeyLength});
}

Outcome ReadKeyFlags(Line& line, int terminal, KeyFlags& out) {
    Command<kInqKey> command(line);
    const Outcome o = Run(command, terminal, {0, 0, 16});
    out.payloadLength = command.ReplyPayloadLength();
    if (out.payloadLength >= 8) {
        const unsigned char* p = command.ReplyPayload();
        for (int k = 0; k < 4; ++k) out.flags[k] = p[2 * k] == '6' && p[2 * k + 1] == '6' ? 1 : 0;
    }
    return o;
}

}  // namespace talvo::family

// The 43 exports' parameter and status commands: terminal status, memory
// clear, the CMW text and the mdeb amount.
#include <cstring>

#include "commands/parameters.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

extern "C" {

TALVO_API int TALVO_CALL InqStat(int terminal) {
    return AcceptedBy(terminal, Status);
}

TALVO_API int TALVO_CALL ClearRAM(int terminal) {
    return AcceptedBy(terminal, ClearMemory);
}

TALVO_API int TALVO_CALL ReadCMW(int terminal, char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        CmwText cmw;
        const Outcome o = ReadCmw(line, terminal, cmw);
        if (!cmw.present) return 0;
        std::memcpy(text, cmw.text, kCmwLength);
        text[kCmwLength] = '\0';
        return o.Exchanged() ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL Setcmw(int terminal, const char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    // No further than the characters used: the host's text need not end
    // within them.
    const std::size_t n = ::strnlen(text, kCmwLength);
    return WithPort(0, [&](Line& line) { return SetCmw(line, terminal, text, n).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL Readmdeb(int terminal, float* amount) {
    if (amount == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        AmountReply reply;
        const Outcome o = ReadMdeb(line, terminal, reply);
        if (!reply.present) return 0;
        *amount = static_cast<float>(reply.amount.Value());
        return o.accepted ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL Setmdeb(int terminal, float amount) {
    // An amount the six characters cannot carry is refused, never sent altered.
    if (!ValidTerminal(terminal) || !AmountFits(amount)) return 0;
    return WithPort(0, [&](Line& line) {
        return SetMdeb(line, terminal, AmountText::FromFloat(amount)).accepted ? 1 : 0;
    });
}

}  // extern "C"

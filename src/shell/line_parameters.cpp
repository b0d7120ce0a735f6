// The line API's parameter and status commands.
#include <cstring>

#include "commands/parameters.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

extern "C" {

TALVO_API int TALVO_CALL talvo_status(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return Status(l, terminal); });
}

TALVO_API int TALVO_CALL talvo_clear_memory(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return ClearMemory(l, terminal); });
}

TALVO_API int TALVO_CALL talvo_cmw_read(talvo_line* line, int terminal, char* text, std::size_t size) {
    if (text == nullptr) return TALVO_E_INVALID;
    if (size < kCmwLength + 1) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        CmwText cmw;
        if (const int r = ReadCmw(l, terminal, cmw).Code(); r != 0) return r;
        if (!cmw.present) return TALVO_E_SHORT_REPLY;
        std::memcpy(text, cmw.text, kCmwLength);
        text[kCmwLength] = '\0';
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_cmw_set(talvo_line* line, int terminal, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, kCmwLength + 1) : 0;
    if (n == 0 || n > kCmwLength) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return SetCmw(l, terminal, text, n); });
}

TALVO_API int TALVO_CALL talvo_mdeb_read(talvo_line* line, int terminal, std::int32_t* cents) {
    if (cents == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        AmountReply reply;
        if (const int r = ReadMdeb(l, terminal, reply).Code(); r != 0) return r;
        if (!reply.present) return TALVO_E_SHORT_REPLY;
        *cents = reply.amount.Cents();
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_mdeb_set(talvo_line* line, int terminal, std::int32_t cents) {
    if (!ValidCents(cents)) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return SetMdeb(l, terminal, AmountText::FromCents(cents)); });
}

}  // extern "C"

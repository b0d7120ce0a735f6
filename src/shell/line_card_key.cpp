// The line API's card key commands.
#include <cstring>

#include "commands/card_key.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

namespace {
// Exactly six hex digits, upper-cased into `key`.  Six characters are read,
// no more: the text needs no terminator.
bool KeyDigits(const char* text, unsigned char (&key)[kKeyLength]) {
    if (text == nullptr) return false;
    for (std::size_t i = 0; i < kKeyLength; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 32);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        key[i] = static_cast<unsigned char>(c);
    }
    return true;
}
}  // namespace

extern "C" {

TALVO_API int TALVO_CALL talvo_key_check(talvo_line* line, int terminal, const char* key) {
    unsigned char digits[kKeyLength];
    if (!KeyDigits(key, digits)) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return CheckKey(l, terminal, digits); });
}

TALVO_API int TALVO_CALL talvo_key_set(talvo_line* line, int terminal, const char* key) {
    unsigned char digits[kKeyLength];
    if (!KeyDigits(key, digits)) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return SetKey(l, terminal, digits); });
}

TALVO_API int TALVO_CALL talvo_key_flags(talvo_line* line, int terminal, std::int32_t* flags, std::size_t count) {
    if (flags == nullptr) return TALVO_E_INVALID;
    if (count < 4) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        KeyFlags read;
        if (const int r = ReadKeyFlags(l, terminal, read).Code(); r != 0) return r;
        if (read.payloadLength < 8) return TALVO_E_SHORT_REPLY;
        std::memcpy(flags, read.flags, sizeof read.flags);
        return 0;
    });
}

}  // extern "C"

// The 43 exports' card key commands: check a key, set a key, read the four
// key flags.
#include <cstring>

#include "commands/card_key.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

namespace {

// Six upper-case hex digits: the caller's characters where they are hex
// digits (after upper-casing), the default key's elsewhere.  At most six
// characters of `keyText` are read.
void EncodeKey(const char* keyText, unsigned char (&key)[kKeyLength]) {
    std::memcpy(key, "740258", kKeyLength);
    const std::size_t n = keyText != nullptr ? ::strnlen(keyText, kKeyLength) : 0;
    for (std::size_t i = 0; i < n; ++i) {
        char c = keyText[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) key[i] = static_cast<unsigned char>(c);
    }
}

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL CheckKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr || !ValidTerminal(terminal)) return 0;
    unsigned char key[kKeyLength];
    EncodeKey(keyText, key);
    return WithPort(0, [&](Line& line) { return family::CheckKey(line, terminal, key).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL SetKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr || !ValidTerminal(terminal)) return 0;
    unsigned char key[kKeyLength];
    EncodeKey(keyText, key);
    return WithPort(0, [&](Line& line) { return family::SetKey(line, terminal, key).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL Inqkey(int terminal, int* flags) {
    if (flags == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        KeyFlags read;
        const Outcome o = ReadKeyFlags(line, terminal, read);
        // The four flags of a whole reply; zeros otherwise.
        const bool whole = read.payloadLength >= 16;
        for (int k = 0; k < 4; ++k) flags[k] = whole ? read.flags[k] : 0;
        return whole && o.Exchanged() ? 1 : 0;
    });
}

}  // extern "C"

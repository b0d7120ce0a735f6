// Card key commands: check a key, set a key, read the four key flags.
#include <cstring>

#include "protocol/terminal_command.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

using CheckKeyCommand = Command<0x61>;
using SetKeyCommand = Command<0x21>;
class InqKeyCommand : public TerminalCommand {
public:
    InqKeyCommand() : TerminalCommand(0x11) {}
    int flags[4] = {0, 0, 0, 0};
};

// Six upper-case hex digits: the caller's characters where they are hex
// digits (after upper-casing), the default key's elsewhere.
void EncodeKey(const char* keyText, unsigned char* key) {
    std::memcpy(key, "740258", 6);
    const std::size_t n = keyText != nullptr ? std::strlen(keyText) : 0;
    for (std::size_t i = 0; i < n && i < 6; ++i) {
        char c = keyText[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) key[i] = static_cast<unsigned char>(c);
    }
}

template <class Command>
int SendKey(int terminal, const char* keyText) {
    unsigned char key[6];
    EncodeKey(keyText, key);
    Command command;
    command.Transact(terminal, 0, 0, 1, key, sizeof key);
    return command.IsAccepted();
}

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL CheckKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr) return 0;
    return WithPort(0, [&] { return SendKey<CheckKeyCommand>(terminal, keyText); });
}

TALVO_API int TALVO_CALL SetKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr) return 0;
    return WithPort(0, [&] { return SendKey<SetKeyCommand>(terminal, keyText); });
}

TALVO_API int TALVO_CALL Inqkey(int terminal, int* flags) {
    if (flags == nullptr) return 0;
    return WithPort(0, [&] {
        InqKeyCommand command;
        command.Transact(terminal, 0, 0, 16);
        int result = 0;
        if (command.ReplyLength() >= 32) {
            const unsigned char* p = command.ReplyPayload();
            for (int k = 0; k < 4; ++k) command.flags[k] = p[2 * k] == '6' && p[2 * k + 1] == '6' ? 1 : 0;
            result = command.lastResult == kSuccess ? 1 : 0;
        }
        std::memcpy(flags, command.flags, sizeof command.flags);
        return result;
    });
}

}  // extern "C"

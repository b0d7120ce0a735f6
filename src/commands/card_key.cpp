// Card key commands: check a key, set a key, read the four key flags.
#include <cstring>

#include "commands/families.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;
using namespace talvo::family;

namespace {

using CheckKeyCommand = Command<kCheckKey>;
using SetKeyCommand = Command<kSetKey>;
class InqKeyCommand : public TerminalCommand {
public:
    explicit InqKeyCommand(Line& line) : TerminalCommand(line, kInqKey) {}
    int flags[4] = {0, 0, 0, 0};
};

template <class KeyCommand>
int SendKey(Line& line, int terminal, const char* keyText) {
    unsigned char key[kKeyLength];
    EncodeKey(keyText, key);
    KeyCommand command(line);
    command.Transact(terminal, 0, 0, 1, key, sizeof key);
    return command.IsAccepted();
}

}  // namespace

namespace talvo::family {

void EncodeKey(const char* keyText, unsigned char* key) {
    std::memcpy(key, "740258", kKeyLength);
    // No further than the six characters used.
    const std::size_t n = keyText != nullptr ? ::strnlen(keyText, kKeyLength) : 0;
    for (std::size_t i = 0; i < n; ++i) {
        char c = keyText[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) key[i] = static_cast<unsigned char>(c);
    }
}

}  // namespace talvo::family

extern "C" {

TALVO_API int TALVO_CALL CheckKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return SendKey<CheckKeyCommand>(line, terminal, keyText); });
}

TALVO_API int TALVO_CALL SetKey(int terminal, int, int, const char* keyText) {
    if (keyText == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return SendKey<SetKeyCommand>(line, terminal, keyText); });
}

TALVO_API int TALVO_CALL Inqkey(int terminal, int* flags) {
    if (flags == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        InqKeyCommand command(line);
        command.Transact(terminal, 0, 0, 16);
        int result = 0;
        if (command.ReplyLength() >= 32) {
            const unsigned char* p = command.ReplyPayload();
            for (int k = 0; k < 4; ++k) command.flags[k] = p[2 * k] == '6' && p[2 * k + 1] == '6' ? 1 : 0;
            result = command.lastResult == TALVO_OK ? 1 : 0;
        }
        std::memcpy(flags, command.flags, sizeof command.flags);
        return result;
    });
}

}  // extern "C"

// Subsidy list commands: clear the list, set the maximum subsidy and the
// subsidy time, add entries.
#include <cstring>

#include "commands/families.h"
#include "protocol/codec.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;
using namespace talvo::family;

namespace {

using ClearListCommand = Command<kClearList>;
using SetMaxbtCommand = Command<kSetMaxbt>;
using SetBtTimeCommand = Command<kSetBtTime>;
using AddBtListCommand = Command<kAddBtList>;

// Sends a text measured no further than the largest frame allows.
template <class TextCommand>
int SendText(int terminal, std::int32_t argHigh, std::int32_t argLow, const char* text, std::uint32_t entry) {
    const std::size_t n = ::strnlen(text, kMaxPayload + 1);
    if (n > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) {
        TextCommand command(line);
        const std::int32_t count = entry == 0 ? 0 : static_cast<std::int32_t>(n / entry);
        command.Transact(terminal, argHigh, argLow, count, reinterpret_cast<const unsigned char*>(text),
                         static_cast<std::uint32_t>(n));
        return command.IsAccepted();
    });
}

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL ClearList(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return ClearListCommand(line).RunEmpty(terminal); });
}

TALVO_API int TALVO_CALL SetMaxbt(int terminal, double amount) {
    // Narrowed first, as the terminal keeps it; refused when the six
    // characters cannot carry it.
    const float narrowed = static_cast<float>(amount);
    if (!ValidTerminal(terminal) || !AmountFits(narrowed)) return 0;
    return WithPort(0, [&](Line& line) {
        unsigned char payload[kAmountLength];
        EncodeAmount(payload, 0, narrowed == 0.0f ? 0.0f : narrowed);
        SetMaxbtCommand command(line);
        command.Transact(terminal, 0, 0, 0, payload, sizeof payload);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL SetBtTime(int terminal, const char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    return SendText<SetBtTimeCommand>(terminal, 0, 0, text, 0);
}

TALVO_API int TALVO_CALL AddBtList(int terminal, int position, const char* entries) {
    if (entries == nullptr || !ValidTerminal(terminal)) return 0;
    return SendText<AddBtListCommand>(terminal, (position >> 8) & 0xFF, position & 0xFF, entries, kSubsidyEntry);
}

}  // extern "C"

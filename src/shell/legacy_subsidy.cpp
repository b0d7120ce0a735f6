// The 43 exports' subsidy list commands: clear the list, set the maximum
// subsidy and the subsidy time, add entries.
#include <cstring>

#include "commands/subsidy.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

extern "C" {

TALVO_API int TALVO_CALL ClearList(int terminal) {
    return AcceptedBy(terminal, ClearSubsidies);
}

TALVO_API int TALVO_CALL SetMaxbt(int terminal, double amount) {
    // Narrowed first, as the terminal keeps it; refused when the six
    // characters cannot carry it.
    const float narrowed = static_cast<float>(amount);
    if (!ValidTerminal(terminal) || !AmountFits(narrowed)) return 0;
    return WithPort(0, [&](Line& line) {
        return SetMaxSubsidy(line, terminal, AmountText::FromFloat(narrowed)).accepted ? 1 : 0;
    });
}

// Texts are measured no further than the largest frame allows; longer ones
// are refused.
TALVO_API int TALVO_CALL SetBtTime(int terminal, const char* text) {
    if (text == nullptr || !ValidTerminal(terminal)) return 0;
    const std::size_t n = ::strnlen(text, kMaxPayload + 1);
    if (n > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) { return SetSubsidyTime(line, terminal, text, n).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL AddBtList(int terminal, int position, const char* entries) {
    if (entries == nullptr || !ValidTerminal(terminal)) return 0;
    const std::size_t n = ::strnlen(entries, kMaxPayload + 1);
    if (n > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) {
        return AddSubsidies(line, terminal, static_cast<unsigned>(position), entries, n).accepted ? 1 : 0;
    });
}

}  // extern "C"

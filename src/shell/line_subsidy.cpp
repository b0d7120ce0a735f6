// The line API's subsidy list commands.
#include <cstring>

#include "commands/subsidy.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

namespace {
constexpr std::size_t kMaxSubsidyTime = 1024;
}  // namespace

extern "C" {

TALVO_API int TALVO_CALL talvo_subsidy_clear(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return ClearSubsidies(l, terminal); });
}

TALVO_API int TALVO_CALL talvo_subsidy_set_max(talvo_line* line, int terminal, std::int32_t cents) {
    if (!ValidCents(cents)) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return SetMaxSubsidy(l, terminal, AmountText::FromCents(cents)); });
}

TALVO_API int TALVO_CALL talvo_subsidy_set_time(talvo_line* line, int terminal, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, kMaxSubsidyTime + 1) : 0;
    if (text == nullptr || n > kMaxSubsidyTime) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return SetSubsidyTime(l, terminal, text, n); });
}

TALVO_API int TALVO_CALL talvo_subsidy_add(talvo_line* line, int terminal, unsigned position, const char* entries,
                                           std::size_t count) {
    if (position > 0xFFFF || entries == nullptr || count == 0 || count > 255 ||
        !NoZeroByte(entries, kSubsidyEntry * count)) {
        return TALVO_E_INVALID;
    }
    // The entries are appended: an add that went unanswered may have
    // arrived, and it is not sent again (the list has no read command; the
    // caller writes it again as a whole).
    return OnTerminal(line, terminal, [&](Line& l) {
        return OneTry(l, [&] { return AddSubsidies(l, terminal, position, entries, kSubsidyEntry * count).Code(); });
    });
}

}  // extern "C"

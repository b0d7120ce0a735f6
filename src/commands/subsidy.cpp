#include "commands/subsidy.h"

#include "commands/request.h"

namespace talvo::family {

Outcome ClearSubsidies(Line& line, int terminal) { return StatusOnly<kClearList>(line, terminal, {}); }

Outcome SetMaxSubsidy(Line& line, int terminal, const AmountText& amount) {
    return StatusOnly<kSetMaxbt>(line, terminal, {0, 0, 0, amount.chars, kAmountLength});
}

Outcome SetSubsidyTime(Line& line, int terminal, const char* text, std::size_t length) {
    return StatusOnly<kSetBtTime>(line, terminal, {0, 0, 0, text, length});
}

Outcome AddSubsidies(Line& line, int terminal, unsigned position, const char* entries, std::size_t length) {
    return StatusOnly<kAddBtList>(
        line, terminal, AtPosition(position, static_cast<std::int32_t>(length / kSubsidyEntry), entries, length));
}

}  // namespace talvo::family

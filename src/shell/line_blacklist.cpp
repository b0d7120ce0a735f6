// The line API's blacklist commands.
#include <cstring>

#include "commands/blacklist.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

extern "C" {

TALVO_API int TALVO_CALL talvo_blacklist_add(talvo_line* line, int terminal, const char* cards, std::size_t count) {
    if (cards == nullptr || count == 0 || count > 255 || !NoZeroByte(cards, kCardLength * count)) {
        return TALVO_E_INVALID;
    }
    return OnCommand(line, terminal, [&](Line& l) { return AddCards(l, terminal, cards, kCardLength * count); });
}

TALVO_API int TALVO_CALL talvo_blacklist_remove(talvo_line* line, int terminal, const char* card) {
    // Six characters are read, no more: the card needs no terminator.
    if (card == nullptr || !NoZeroByte(card, kCardLength)) return TALVO_E_INVALID;
    return OnCommand(line, terminal, [&](Line& l) { return RemoveCard(l, terminal, card); });
}

TALVO_API int TALVO_CALL talvo_blacklist_set(talvo_line* line, int terminal, unsigned position, const char* cards,
                                             std::size_t count) {
    if (position > 0xFFFF || count > 255 || (cards == nullptr && count > 0) ||
        (count > 0 && !NoZeroByte(cards, kCardLength * count))) {
        return TALVO_E_INVALID;
    }
    return OnCommand(line, terminal, [&](Line& l) { return WriteCards(l, terminal, position, cards, count); });
}

TALVO_API int TALVO_CALL talvo_blacklist_clear(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return ClearCards(l, terminal); });
}

TALVO_API int TALVO_CALL talvo_blacklist_read(talvo_line* line, int terminal, unsigned position, char* cards,
                                              std::size_t capacity, std::size_t* count) {
    if (count == nullptr || (cards == nullptr && capacity > 0) || position > 0xFFFF) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        CardBlock block;
        if (const int r = ReadCards(l, terminal, position, block).Code(); r != 0) return r;
        const auto n = static_cast<std::size_t>(block.count);
        *count = n;
        if (n > capacity) return TALVO_E_BUFFER;
        if (n > 0) std::memcpy(cards, block.cards, kCardLength * n);
        return 0;
    });
}

}  // extern "C"

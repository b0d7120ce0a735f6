// The line API's blacklist commands.
#include <cstring>
#include <set>
#include <string>

#include "commands/blacklist.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

namespace {

// The cards of `cards` (whole entries) that the terminal's list lacks, in
// `missing`; TALVO_OK, or the failure of a read.
int Missing(Line& l, int terminal, const std::string& cards, std::string& missing) {
    std::set<std::string> held;
    for (unsigned position = 0; position <= 0xFFFF; position += kReadHmdLimit) {
        CardBlock block;
        if (const int r = ReadCards(l, terminal, position, block).Code(); r != TALVO_OK) return r;
        for (int i = 0; i < block.count; ++i) held.emplace(block.cards + kCardLength * i, kCardLength);
        if (block.count < kReadHmdLimit) break;
    }
    missing.clear();
    for (std::size_t at = 0; at + kCardLength <= cards.size(); at += kCardLength) {
        if (held.count(cards.substr(at, kCardLength)) == 0) missing += cards.substr(at, kCardLength);
    }
    return TALVO_OK;
}

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL talvo_blacklist_add(talvo_line* line, int terminal, const char* cards, std::size_t count) {
    if (cards == nullptr || count == 0 || count > 255 || !NoZeroByte(cards, kCardLength * count)) {
        return TALVO_E_INVALID;
    }
    // An add puts the cards at the end of the list: one that went
    // unanswered may have arrived, and sent again it could put them there
    // twice.  So it is sent once; when no answer comes the list is read back
    // and only the cards it lacks are sent again, as often as the line's
    // tries allow.
    return OnTerminal(line, terminal, [&](Line& l) {
        const std::uint32_t tries = l.timing.tries > 0 ? l.timing.tries : 1;
        std::string pending(cards, kCardLength * count);
        for (std::uint32_t attempt = 1;; ++attempt) {
            const int r = OneTry(l, [&] { return AddCards(l, terminal, pending.data(), pending.size()).Code(); });
            if (!Unanswered(r) || attempt >= tries) return r;
            std::string missing;
            if (const int read = Missing(l, terminal, pending, missing); read != TALVO_OK) return read;
            if (missing.empty()) return static_cast<int>(TALVO_OK);
            pending = missing;
        }
    });
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

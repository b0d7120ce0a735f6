// What the line API's functions share: handles and their registry, the
// wrappers that run a call on a line, and the checks of argument values.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "commands/families.h"
#include "protocol/codec.h"
#include "protocol/line.h"
#include "shell/handle_registry.h"
#include "shell/export_guard.h"
#include "talvo.h"

namespace talvo::lineapi {

using namespace talvo::family;

using platform::file::kMaxPath;

struct ApiLine {
    // Its replies are collected whole, up to the largest a request asks for.
    explicit ApiLine(std::unique_ptr<Transport> transport) : line(std::move(transport), false) {
        line.receiveCapacity = Line::kLargestReply;
    }
    Line line;
    bool closed = false;  // under line.mutex
};

using Registry = HandleRegistry<ApiLine, talvo_line>;
Registry& Lines();


// Runs `body(line)` under the line's lock; its result becomes the line's
// last error.  No exception leaves.
template <class Body>
int OnLine(talvo_line* handle, Body&& body) noexcept {
    try {
        std::shared_ptr<ApiLine> entry = Lines().Find(handle);
        if (!entry) return TALVO_E_CLOSED;
        std::lock_guard<std::mutex> lock(entry->line.mutex);
        if (entry->closed) return TALVO_E_CLOSED;
        const int result = body(entry->line);
        entry->line.lastError = result;
        return result;
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

// A command for a terminal: the terminal number is checked first.
template <class Body>
int OnTerminal(talvo_line* handle, int terminal, Body&& body) noexcept {
    if (!ValidTerminal(terminal)) return Lines().Find(handle) ? TALVO_E_INVALID : TALVO_E_CLOSED;
    return OnLine(handle, std::forward<Body>(body));
}

// A command of the typed layer on a line: its outcome as the line API's
// code.  `command(line)` returns a family::Outcome.
template <class Command>
int OnCommand(talvo_line* handle, int terminal, Command&& command) noexcept {
    return OnTerminal(handle, terminal, [&](Line& l) { return static_cast<int>(command(l).Code()); });
}

// Runs `body()` with the line's tries set to one (a write that must not be
// repeated blindly).
template <class Body>
int OneTry(Line& line, Body&& body) {
    struct Restore {
        Line& l;
        std::uint32_t tries;
        ~Restore() { l.timing.tries = tries; }
    } restore{line, line.timing.tries};
    line.timing.tries = 1;
    return body();
}

// A request that went out and got no answer that could be read: the
// terminal may or may not have carried it out.
inline bool Unanswered(int code) {
    return code == TALVO_E_NO_REPLY || code == TALVO_E_BAD_REPLY || code == TALVO_E_REPLY_CHECK;
}

inline bool ValidCents(std::int32_t cents) { return cents >= 0 && cents <= kMaxCents; }

inline bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline bool ValidDateTime(const talvo_datetime& t, int minYear, int maxYear) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < minYear || t.year > maxYear || t.month < 1 || t.month > 12) return false;
    const int days = kDays[t.month - 1] + (t.month == 2 && IsLeap(t.year) ? 1 : 0);
    return t.day >= 1 && t.day <= days && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

inline bool ValidTime(const talvo_time_of_day& t) { return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59; }

inline void PutDigits(unsigned char* at, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<unsigned char>('0' + value % 10);
        value /= 10;
    }
}

// Decimal digits; -1 when any character is not one.
inline int Digits(const unsigned char* at, int width) {
    int value = 0;
    for (int i = 0; i < width; ++i) {
        if (at[i] < '0' || at[i] > '9') return -1;
        value = value * 10 + (at[i] - '0');
    }
    return value;
}

inline bool NoZeroByte(const char* text, std::size_t length) { return std::memchr(text, 0, length) == nullptr; }

}  // namespace talvo::lineapi

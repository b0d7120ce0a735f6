// The timed collection of reply bytes, apart from the device so that its
// rules can be tested with a scripted line and clock.
#pragma once

#include <cstdint>

namespace talvo {

// First-byte deadline: the fixed echo time plus the time the bytes just sent
// take on the line at 8 bits each.  A baud rate of 0 adds nothing.
inline std::uint32_t FirstByteDeadline(std::uint32_t echoTime, std::uint32_t sent, std::uint32_t baud) {
    return echoTime + (baud == 0 ? 0u : sent * 8000u / baud);
}

// The longest a collection may last whatever arrives: the first-byte
// deadline, the wait time, and the time `capacity` bytes take on the line
// at 10 bits each (start, 8 data bits, stop; nothing with a baud rate of 0).
inline std::uint32_t CollectionLimit(std::uint32_t deadline, std::uint32_t waitTime, std::uint32_t capacity,
                                     std::uint32_t baud) {
    const std::uint64_t line = baud == 0 ? 0u : std::uint64_t{capacity} * 10000u / baud;
    const std::uint64_t limit = std::uint64_t{deadline} + waitTime + line;
    return limit > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(limit);
}

// Reads until the byte three from the end of what has arrived is ETX and
// `complete(buffer, n)` agrees, or the time limits run out:
//  - while nothing has arrived, only the first-byte deadline ends the wait;
//  - once bytes have come, the first empty read after `waitTime` ms since the
//    start ends it (a read that brings bytes starts the test afresh);
//  - with `waitTime` 0 exactly one read is made, and it waits 1 ms: a reply
//    that is not on the line by then is missed, whatever the deadline;
//  - whatever arrives, a full buffer ends it at once (`capacity` is the
//    receive's byte budget: a reply not found within it is noise), and so
//    does the end of `limit` ms since the start (see CollectionLimit), so
//    that a peer that sends without pause holds no receive longer than that.
// `read(buffer, capacity, waitMs)` returns the number of bytes read and may
// block up to `waitMs` for the first of them, returning as soon as bytes
// have come; `ticks()` is a millisecond counter whose differences are taken
// modulo 2^32.
// Returned by `read` when the medium went away: the collection ends with
// what has come.
inline constexpr std::uint32_t kMediumGone = 0xFFFFFFFFu;

template <class ReadFn, class TickFn, class CompleteFn>
std::uint32_t CollectReply(unsigned char* buffer, std::uint32_t capacity, std::uint32_t deadline,
                           std::uint32_t waitTime, std::uint32_t limit, ReadFn&& read, TickFn&& ticks,
                           CompleteFn&& complete) {
    const std::uint32_t t0 = ticks();
    std::uint32_t n = 0;
    std::uint32_t e = 0;
    do {
        const std::uint32_t elapsed = ticks() - t0;
        std::uint32_t wait;
        if (waitTime == 0) {
            wait = 1u;
        } else if (n == 0) {
            wait = elapsed > deadline ? 1u : deadline - elapsed + 1u;
        } else {
            wait = elapsed >= waitTime ? 1u : waitTime - elapsed;
        }
        const std::uint32_t k = read(buffer + n, capacity - n, wait);
        if (k == kMediumGone) break;
        if (k > 0) {
            n += k;
            e = 0;
            if (n > 3 && buffer[n - 3] == 0x03 && complete(static_cast<const unsigned char*>(buffer), n)) break;
            if (n >= capacity || ticks() - t0 >= limit) break;
        } else if (n > 0) {
            e = ticks() - t0;
        } else if (ticks() - t0 > deadline) {
            break;
        }
    } while (e < waitTime);
    return n;
}

template <class ReadFn, class TickFn>
std::uint32_t CollectReply(unsigned char* buffer, std::uint32_t capacity, std::uint32_t deadline,
                           std::uint32_t waitTime, std::uint32_t limit, ReadFn&& read, TickFn&& ticks) {
    return CollectReply(buffer, capacity, deadline, waitTime, limit, read, ticks,
                        [](const unsigned char*, std::uint32_t) { return true; });
}

}  // namespace talvo

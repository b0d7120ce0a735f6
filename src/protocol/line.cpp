#include "protocol/line.h"

#include <chrono>

#include "platform/platform.h"
#include "protocol/codec.h"
#include "protocol/receive_loop.h"
#include "protocol/trace.h"

namespace talvo {
namespace {
std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

void Line::Release() {
    if (transport_) transport_->Close();
    transport_.reset();
    std::map<int, BatchImage>().swap(fetched);
    std::map<int, std::string>().swap(storedUnconfirmed);
    std::vector<unsigned char>().swap(spareRequest);
    std::vector<unsigned char>().swap(spareReply);
    std::vector<unsigned char>().swap(spareReceive);
}

std::uint32_t Line::Send(const unsigned char* bytes, std::uint32_t count) {
    Transport& t = *transport_;
    t.SetTransmit(true);
    if (observer != nullptr || traceFn != nullptr) {
        traceTerminal_ = trace::RequestTerminal(bytes, count);
        traceCommand_ = trace::RequestCommand(bytes, count);
        if (observer != nullptr) observer->FrameSent(bytes, count, traceTerminal_, traceCommand_);
        if (traceFn != nullptr) traceFn(traceUser, 0, NowMs(), traceTerminal_, traceCommand_, bytes, count);
    }
    const std::uint32_t written = t.Write(bytes, count);
    t.SetTransmit(false);
    return written;
}

std::uint32_t FindReply(const unsigned char* bytes, std::uint32_t count, int terminal, std::uint32_t& start) {
    std::uint32_t from = 0;
    for (;;) {
        std::uint32_t at = 0;
        const std::uint32_t length = ExtractReply(bytes + from, count - from, at);
        if (length == 0) return 0;
        if (terminal < 0 || GetHexPair(bytes + from + at, 3) == static_cast<unsigned>(terminal)) {
            start = from + at;
            return length;
        }
        // Another terminal's reply (one that answered late, say): passed
        // over like noise.
        from += at + length;
    }
}

std::uint32_t Line::Receive(unsigned char* buffer, std::uint32_t capacity, std::uint32_t sent, std::uint32_t waitTime,
                            int terminal, std::uint32_t& skipped) {
    Transport& t = *transport_;
    skipped = 0;
    // Called whenever what has arrived ends like a frame.  The frames of
    // other terminals at its start are passed over and do not end the wait;
    // anything else does (a reply of ours, or bytes holding no frame, which
    // the exchange then finds without a reply as before).
    auto complete = [&](const unsigned char* bytes, std::uint32_t n) {
        if (terminal < 0) return true;
        for (;;) {
            std::uint32_t at = 0;
            const std::uint32_t length = ExtractReply(bytes + skipped, n - skipped, at);
            if (length == 0 || GetHexPair(bytes + skipped + at, 3) == static_cast<unsigned>(terminal)) return true;
            skipped += at + length;
            if (skipped >= n) return false;
        }
    };
    const std::uint32_t deadline = FirstByteDeadline(timing.echoTime + timing.netAllowance, sent, timing.baud);
    const std::uint32_t n = CollectReply(
        buffer, capacity, deadline, waitTime, CollectionLimit(deadline, waitTime, capacity, timing.baud),
        [&t](unsigned char* at, std::uint32_t room, std::uint32_t wait) {
            const std::uint32_t k = t.Read(at, room, wait);
            return k == 0 && t.Lost() ? kMediumGone : k;
        },
        [] { return platform::clock::Ticks(); }, complete);
    if (observer != nullptr) observer->ReplyCollected(buffer, n, traceTerminal_, traceCommand_);
    if (traceFn != nullptr) traceFn(traceUser, 1, NowMs(), traceTerminal_, traceCommand_, buffer, n);
    t.SetTransmit(true);
    return n;
}

}  // namespace talvo

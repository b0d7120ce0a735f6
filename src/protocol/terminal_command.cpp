#include "protocol/terminal_command.h"

#include <cstring>

#include "protocol/codec.h"

namespace talvo {

std::uint32_t TerminalCommand::BuildRequest(std::int32_t prefix, std::int32_t terminal, std::int32_t command,
                                            std::int32_t argHigh, std::int32_t argLow, std::int32_t count,
                                            const unsigned char* payload, std::uint32_t length) {
    const std::uint32_t convertP = line_.timing.filler;
    const std::uint32_t n = payload != nullptr ? length : 0;
    const std::uint32_t total = n + convertP + kFrameOverhead;
    requestFrame.assign(total, 0);
    unsigned char* f = requestFrame.data();
    f[0] = kStx;
    PutHexPair(f, 1, prefix);
    PutHexPair(f, 3, terminal);
    PutHexPair(f, 5, command);
    PutHexPair(f, 7, argHigh);
    PutHexPair(f, 9, argLow);
    PutHexPair(f, 11, count);
    if (n > 0) std::memcpy(f + kPayloadOffset, payload, n);
    const std::uint32_t e = kPayloadOffset + n;
    f[e] = kEtx;
    PutHexPair(f, e + 1, FrameChecksum(f, e));
    std::memset(f + e + 3, kFiller, convertP);
    return total;
}

std::int32_t TerminalCommand::Exchange(std::int32_t terminal, std::int32_t command, std::int32_t argHigh,
                                       std::int32_t argLow, std::int32_t count, const unsigned char* payload,
                                       std::uint32_t length) {
    Transport& port = line_.transport();
    if (!port.IsOpen()) return TALVO_E_PORT;
    const std::uint32_t total = BuildRequest(0, terminal, command, argHigh, argLow, count, payload, length);
    port.Purge();
    const std::uint32_t written = line_.Send(requestFrame.data(), total);
    // The medium learns whether the exchange ended on the reply asked for.
    auto end = [&port](std::int32_t result) {
        port.ExchangeEnded(result == TALVO_OK);
        return result;
    };
    if (written == 0) return end(TALVO_E_PORT);
    ++requestsWritten;
    if (written < total) return end(TALVO_E_BAD_REPLY);
    // The reply must come from the terminal asked (unless the line's check
    // is off): frames of other terminals are passed over.
    const int expected = line_.timing.checkTerminal ? static_cast<int>(terminal & 0xFF) : -1;
    std::uint32_t skipped = 0;
    const std::uint32_t capacity = line_.receiveCapacity;
    if (receiveBuffer.size() != capacity) receiveBuffer.assign(capacity, 0);
    const std::uint32_t received = line_.Receive(receiveBuffer.data(), capacity, written, waitTime, expected, skipped);
    if (received <= skipped) return end(TALVO_E_NO_REPLY);
    std::uint32_t start = 0;
    const std::uint32_t frameLength = FindReply(receiveBuffer.data() + skipped, received - skipped, expected, start);
    if (frameLength == 0) return end(TALVO_E_BAD_REPLY);
    const unsigned char* frame = receiveBuffer.data() + skipped + start;
    if (CheckReply(frame, frameLength) == 0) return end(TALVO_E_REPLY_CHECK);
    replyFrame.assign(frame, frame + frameLength);
    return end(TALVO_OK);
}

std::int32_t TerminalCommand::Transact(std::int32_t terminal, std::int32_t argHigh, std::int32_t argLow,
                                       std::int32_t count, const unsigned char* payload, std::uint32_t length) {
    // A request longer than any frame is refused, never built.
    if (payload != nullptr && length > kMaxFrame - kFrameOverhead - line_.timing.filler) return lastResult;
    // A port that is not open (a device that went away, or one missing at
    // load) is tried once more; if it still cannot be opened that is
    // reported, not passed over in silence: the host would otherwise read
    // the previous command's result.
    if (!line_.transport().IsOpen() && line_.OpenPort(true) == 0) {
        lastResult = TALVO_E_PORT;
        line_.lastError = TALVO_E_PORT;
        return TALVO_E_PORT;
    }
    std::int32_t result = TALVO_E_PORT;
    const std::uint32_t tries = line_.timing.tries;
    // A failed exchange is repeated as it was.  This assumes that a
    // terminal which carried out a request whose reply was lost takes the
    // repeat as harmless (a value set again, a card it already holds).  A
    // command for which a repeat is not harmless counts requestsWritten and
    // reads an answer after several requests as uncertain (ConfirmBatch).
    for (std::uint32_t attempt = 0; attempt < tries; ++attempt) {
        result = Exchange(terminal, commandCode, argHigh, argLow, count, payload, length);
        if (result == TALVO_OK) break;
    }
    // A port that took nothing or gave back no frame is made anew for the
    // next command.
    const bool reopen = result == TALVO_E_PORT || result == TALVO_E_BAD_REPLY;
    if (reopen) {
        line_.transport().Close();
        line_.OpenPort(false);
    }
    lastResult = result;
    line_.lastError = result;
    return result;
}

std::int32_t TerminalCommand::Outcome() const {
    if (lastResult != TALVO_OK) return lastResult;
    return IsAccepted() != 0 ? 0 : TALVO_E_REFUSED;
}

int TerminalCommand::IsAccepted() const {
    return replyFrame.size() >= kFrameOverhead && replyFrame[5] == 'G' && replyFrame[6] == 'G' ? 1 : 0;
}

int TerminalCommand::CheckReply(const unsigned char*, std::uint32_t) const { return 1; }

unsigned char TerminalCommand::ReplyArgHigh() const {
    return replyFrame.size() < kFrameOverhead ? 0 : GetHexPair(replyFrame.data(), 7);
}

unsigned char TerminalCommand::ReplyArgLow() const {
    return replyFrame.size() < kFrameOverhead ? 0 : GetHexPair(replyFrame.data(), 9);
}

std::uint16_t TerminalCommand::ReplyWord() const {
    return static_cast<std::uint16_t>(256u * ReplyArgHigh() + ReplyArgLow());
}

unsigned char TerminalCommand::ReplyCount() const {
    return replyFrame.size() <= kFrameOverhead ? 0 : GetHexPair(replyFrame.data(), 11);
}

const unsigned char* TerminalCommand::ReplyPayload() const {
    return replyFrame.size() <= kFrameOverhead ? nullptr : replyFrame.data() + kPayloadOffset;
}

std::uint32_t TerminalCommand::ReplyPayloadLength() const {
    return replyFrame.size() <= kFrameOverhead ? 0 : static_cast<std::uint32_t>(replyFrame.size()) - kFrameOverhead;
}

}  // namespace talvo

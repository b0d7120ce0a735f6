#include "protocol/terminal_command.h"

#include <cstring>

#include "protocol/codec.h"

namespace talvo {

std::uint32_t TerminalCommand::BuildRequest(std::int32_t prefix, std::int32_t terminal, std::int32_t command,
                                            std::int32_t argHigh, std::int32_t argLow, std::int32_t count,
                                            const unsigned char* payload, std::uint32_t length) {
    const std::uint32_t convertP = line_.port.settings.ConvertP;
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

int TerminalCommand::Exchange(std::int32_t terminal, std::int32_t command, std::int32_t argHigh,
                              std::int32_t argLow, std::int32_t count, const unsigned char* payload,
                              std::uint32_t length) {
    SerialPort& port = line_.port;
    if (!port.IsOpen()) return -1;
    const std::uint32_t total = BuildRequest(0, terminal, command, argHigh, argLow, count, payload, length);
    port.Purge();
    const std::uint32_t written = port.Send(requestFrame.data(), total);
    if (written == 0) return -3;
    ++requestsWritten;
    if (written < total) return -4;
    const std::uint32_t received = port.Receive(receiveBuffer.data(), kReceiveCapacity, written, waitTime);
    if (received == 0) return -5;
    std::uint32_t start = 0;
    const std::uint32_t frameLength = ExtractReply(receiveBuffer.data(), received, start);
    if (frameLength == 0) return -6;
    const unsigned char* frame = receiveBuffer.data() + start;
    if (CheckReply(frame, frameLength) == 0) return -7;
    replyFrame.assign(frame, frame + frameLength);
    return 1;
}

std::int32_t TerminalCommand::Transact(std::int32_t terminal, std::int32_t argHigh, std::int32_t argLow,
                                       std::int32_t count, const unsigned char* payload, std::uint32_t length) {
    SerialPort& port = line_.port;
    // A request longer than any frame is refused, never built.
    if (payload != nullptr && length > kMaxFrame - kFrameOverhead - port.settings.ConvertP) return lastResult;
    // A port that is not open (a device that went away, or one missing at
    // load) is tried once more; if it still cannot be opened that is
    // reported, not passed over in silence: the host would otherwise read
    // the previous command's result.
    if (!port.IsOpen() && line_.OpenPort(true) == 0) {
        lastResult = kPortNotOpen;
        line_.lastError = kPortNotOpen;
        return kPortNotOpen;
    }
    int outcome = 0;
    const std::uint32_t repeat = port.settings.Repeat;
    for (std::uint32_t attempt = 0; attempt < repeat; ++attempt) {
        outcome = Exchange(terminal, commandCode, argHigh, argLow, count, payload, length);
        if (outcome == 1) break;
    }
    std::int32_t result = kSuccess;
    bool reopen = false;
    switch (outcome) {
        case 1: result = kSuccess; break;
        case -1: result = kPortNotOpen; reopen = true; break;
        case -3: result = kPortNotOpen; reopen = true; break;
        case -4: result = kBadReply; reopen = true; break;
        case -5: result = kNoReply; break;
        case -6: result = kBadReply; reopen = true; break;
        case -7: result = kReplyRefused; break;
        default: result = kBadReply; break;
    }
    if (reopen) {
        port.Close();
        line_.OpenPort(false);
    }
    lastResult = result;
    line_.lastError = result;
    return result;
}

std::int32_t TerminalCommand::Outcome() const {
    if (lastResult != kSuccess) return lastResult;
    return IsAccepted() != 0 ? 0 : TALVO_E_REFUSED;
}

int TerminalCommand::IsAccepted() const {
    return replyFrame.size() >= kFrameOverhead && replyFrame[5] == 'G' && replyFrame[6] == 'G' ? 1 : 0;
}

int TerminalCommand::CheckReply(const unsigned char*, std::uint32_t) const { return 1; }

int TerminalCommand::RunEmpty(std::int32_t terminal) {
    Transact(terminal, 0, 0, 0);
    return IsAccepted();
}

int TerminalCommand::RunClear(std::int32_t terminal) {
    Transact(terminal, 0, 0, 101);
    return IsAccepted();
}

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

// The command object: one request frame exchanged against one reply frame,
// repeated as often as the settings allow.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "protocol/codec.h"
#include "protocol/line.h"

namespace talvo {

// The results of a transaction are the line API's codes: TALVO_OK, or
// TALVO_E_PORT (port not open, or not one byte written), TALVO_E_BAD_REPLY
// (partial write, or no valid reply frame), TALVO_E_NO_REPLY (nothing of the
// terminal's received within the time limits), TALVO_E_REPLY_CHECK (a reply
// the command's own check refused); TALVO_E_NOT_RUN before any transaction.
// The 43 exports' GetError reads the same numbers.

// Largest request frame the library builds: anything longer is refused
// before it is built.  kMaxPayload is the most any request may carry (with
// no filler bytes); a host's text is measured no further than that.
inline constexpr std::uint32_t kMaxFrame = 65536;
inline constexpr std::uint32_t kMaxPayload = kMaxFrame - kFrameOverhead;

class TerminalCommand {
public:

    // The frames are built in storage the line keeps from one command to the
    // next (commands on a line run one at a time; one made while another
    // lives simply starts with storage of its own).
    TerminalCommand(Line& line, std::uint8_t code)
        : commandCode(code), waitTime(line.timing.waitTime), line_(line) {
        requestFrame.swap(line.spareRequest);
        replyFrame.swap(line.spareReply);
        receiveBuffer.swap(line.spareReceive);
        requestFrame.clear();
        replyFrame.clear();
    }
    virtual ~TerminalCommand() {
        requestFrame.swap(line_.spareRequest);
        replyFrame.swap(line_.spareReply);
        receiveBuffer.swap(line_.spareReceive);
    }
    TerminalCommand(const TerminalCommand&) = delete;
    TerminalCommand& operator=(const TerminalCommand&) = delete;

    // Builds the request frame; returns its length.
    std::uint32_t BuildRequest(std::int32_t prefix, std::int32_t terminal, std::int32_t command,
                               std::int32_t argHigh, std::int32_t argLow, std::int32_t count,
                               const unsigned char* payload, std::uint32_t length);
    // One request and one reply: TALVO_OK when a verified reply frame was
    // stored; TALVO_E_PORT (the port was not open, or not one byte of the
    // request was written), TALVO_E_BAD_REPLY (the request was written only
    // in part, or the bytes received hold no valid reply frame),
    // TALVO_E_NO_REPLY (nothing of the terminal's came within the time
    // limits) or TALVO_E_REPLY_CHECK (the command's own check refused the
    // reply).
    std::int32_t Exchange(std::int32_t terminal, std::int32_t command, std::int32_t argHigh, std::int32_t argLow,
                 std::int32_t count, const unsigned char* payload, std::uint32_t length);
    // Up to `tries` exchanges; the result (TALVO_OK or a TALVO_E_* code) is
    // stored as the line's last error and in `lastResult`.  A port that is not open is opened once
    // more first (quietly); if that fails nothing is sent.  A request whose
    // frame would exceed kMaxFrame is not sent and leaves the last error
    // alone (`lastResult` stays kNotRun, so the reply reads as refused).
    std::int32_t Transact(std::int32_t terminal, std::int32_t argHigh, std::int32_t argLow, std::int32_t count,
                          const unsigned char* payload = nullptr, std::uint32_t length = 0);
    // The stored reply reads "GG" in its status position.
    int IsAccepted() const;
    // Per-command check of a verified reply frame; 1 accepts.
    virtual int CheckReply(const unsigned char* frame, std::uint32_t length) const;

    // Reply accessors.
    unsigned char ReplyArgHigh() const;
    unsigned char ReplyArgLow() const;
    std::uint16_t ReplyWord() const;
    unsigned char ReplyCount() const;
    // The payload (followed by ETX and checksum, not by a zero), or null.
    const unsigned char* ReplyPayload() const;
    std::uint32_t ReplyPayloadLength() const;
    std::uint32_t ReplyLength() const { return static_cast<std::uint32_t>(replyFrame.size()); }

    const std::vector<unsigned char>& RequestFrame() const { return requestFrame; }
    const std::vector<unsigned char>& ReplyFrame() const { return replyFrame; }

    // The reply status as the line API reports it: 0 accepted, a refusal,
    // or the exchange's result.
    std::int32_t Outcome() const;

    Line& line() { return line_; }

    std::int32_t lastResult = TALVO_E_NOT_RUN;
    // Requests of which at least one byte reached the line.
    std::uint32_t requestsWritten = 0;
    std::uint8_t commandCode;
    // WaitTime of this command's receive (the line's, unless a command
    // needs longer).
    std::uint32_t waitTime;

private:
    Line& line_;
    std::vector<unsigned char> requestFrame;
    std::vector<unsigned char> replyFrame;
    // Sized to the line's receive capacity at each exchange.
    std::vector<unsigned char> receiveBuffer;
};

// A command class whose only difference is its code: each code is a class
// of its own (Command<0x10> for the status request and so on).
template <std::uint8_t Code>
class Command : public TerminalCommand {
public:
    explicit Command(Line& line) : TerminalCommand(line, Code) {}
};

}  // namespace talvo

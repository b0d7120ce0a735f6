#include "net/net_transport.h"

#include <algorithm>

#include "talvo.h"

namespace talvo {
namespace net = platform::net;
namespace {
std::uint32_t Left(std::uint32_t start, std::uint32_t limit) {
    const std::uint32_t elapsed = platform::clock::Ticks() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

void PutValue(std::vector<unsigned char>& out, unsigned char code, std::uint32_t value, std::uint32_t bytes) {
    unsigned char v[4];
    for (std::uint32_t i = 0; i < bytes; ++i) v[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
    telnet::ComPortCommand(code, v, bytes, out);
}
}  // namespace

std::string NetTransport::Where() const {
    return (Telnet() ? "the device server " : "") + params.device;
}

bool NetTransport::Fail(std::int32_t why, const std::string& text) {
    if (socket_ != net::kNoSocket) net::Close(socket_);
    socket_ = net::kNoSocket;
    lastFailure = why;
    failureText = text;
    if (showFailures_) ShowFailure(nullptr, text);
    return false;
}

bool NetTransport::SettingsChanged() const {
    return params.device != openedDevice_ || params.baud != openedBaud_ || params.format != openedFormat_;
}

bool NetTransport::Open(bool messages) {
    if (open_) return true;
    openedDevice_ = params.device;
    openedBaud_ = params.baud;
    openedFormat_ = params.format;
    showFailures_ = messages;
    std::string why;
    const std::int32_t problem = ParseUrl(params.device, url_, why);
    if (problem != 0) return Fail(problem, why);
    const char* scheme = Telnet() ? "rfc2217" : "tcp";
    if (url_.scheme != scheme) {
        return Fail(TALVO_E_SCHEME, "\"" + params.device + "\" is not a " + scheme + ":// device");
    }
    // The line format is read whatever the protocol: on a raw line it is
    // the device server's business, but a text that means nothing is an
    // error in the settings all the same.
    if (!platform::serial::BuildMode("COM1: baud=" + std::to_string(params.baud) + " " + params.format, mode_)) {
        return Fail(TALVO_E_LINE_FORMAT, "cannot use baud=" + std::to_string(params.baud) + " \"" + params.format +
                                                  "\" on " + params.device + ": " +
                                                  platform::serial::LastFailureText());
    }
    if (!Connect()) return false;
    open_ = true;
    return true;
}

bool NetTransport::Connect() {
    const std::uint32_t start = platform::clock::Ticks();
    net::Failure failure = net::Failure::kNone;
    std::string reason;
    socket_ = net::Connect(url_.host, url_.port, params.connectMs, failure, reason);
    if (socket_ == net::kNoSocket) {
        if (failure == net::Failure::kResolve) {
            return Fail(TALVO_E_RESOLVE,
                        "cannot resolve the host \"" + url_.host + "\" of " + params.device + ": " + reason);
        }
        return Fail(TALVO_E_CONNECT, "cannot connect to " + params.device + ": " + reason);
    }
    lost_ = false;
    answered_ = true;
    connectedAt_ = platform::clock::Ticks();
    replied_ = false;
    heard_.clear();
    // What a new connection may bring before the first request (a device
    // server's buffer of the bus) is looked for by the first purge.
    endedOnFrame_ = false;
    exchanged_ = false;
    out_.clear();
    if (Telnet() && !Negotiate(start)) return false;
    // What the last failure said stays until a request goes out: a
    // connection made again is no exchange yet.
    lastFailure = 0;
    return true;
}

bool NetTransport::Send(const std::vector<unsigned char>& bytes) {
    std::string reason;
    if (bytes.empty()) return true;
    if (net::WriteAll(socket_, bytes.data(), static_cast<std::uint32_t>(bytes.size()), kWriteLimitMs, reason)) {
        return true;
    }
    Drop(Ended(reason));
    return false;
}

bool NetTransport::Negotiate(std::uint32_t start) {
    std::vector<unsigned char> out;
    decoder_.Start(out);
    std::string reason;
    if (!net::WriteAll(socket_, out.data(), static_cast<std::uint32_t>(out.size()), params.connectMs, reason)) {
        return Fail(TALVO_E_NEGOTIATE, "cannot negotiate with " + Where() + ": " + reason);
    }
    unsigned char scratch[512];
    std::uint32_t received = 0;
    // Waits for `done` while the limit lasts; data bytes that come are not
    // the terminal's business yet and are dropped (what they say is kept
    // for the message should the server close the connection).
    auto await = [&](auto done, const std::string& what) {
        while (!done()) {
            const std::uint32_t left = Left(start, params.connectMs);
            if (left == 0) {
                return Fail(TALVO_E_NEGOTIATE,
                            Where() + " did not answer " + what + " within " + std::to_string(params.connectMs) + " ms");
            }
            std::string why;
            const long n = net::Read(socket_, scratch, sizeof scratch, left, why);
            if (n < 0) return Fail(TALVO_E_NEGOTIATE, "cannot negotiate with " + Where() + ": " + Ended(why));
            received += static_cast<std::uint32_t>(n);
            if (received > kPurgeBudget) {
                return Fail(TALVO_E_NEGOTIATE, Where() + " sent " + std::to_string(received) +
                                                         " bytes without answering " + what +
                                                         ": it sends without pause");
            }
            reply_.clear();
            Hear(scratch, decoder_.Decode(scratch, static_cast<std::uint32_t>(n), reply_));
            if (!reply_.empty() &&
                !net::WriteAll(socket_, reply_.data(), static_cast<std::uint32_t>(reply_.size()), params.connectMs, why)) {
                return Fail(TALVO_E_NEGOTIATE, "cannot negotiate with " + Where() + ": " + Ended(why));
            }
        }
        return true;
    };
    if (!await([&] { return decoder_.comPortAccepted || decoder_.comPortRefused; },
               "the COM port control option (RFC 2217)")) {
        return false;
    }
    if (decoder_.comPortRefused && !decoder_.comPortAccepted) {
        return Fail(TALVO_E_NEGOTIATE, Where() + " refused the COM port control option (RFC 2217)");
    }
    const platform::serial::LineMode& mode = mode_;
    unsigned parity = 1;
    switch (mode.parity) {
        case 'O': case 'o': parity = 2; break;
        case 'E': case 'e': parity = 3; break;
        case 'M': case 'm': parity = 4; break;
        case 'S': case 's': parity = 5; break;
        default: parity = 1; break;
    }
    const unsigned stop = mode.stopBits == 2 ? 2u : mode.stopBits == 15 ? 3u : 1u;
    out.clear();
    decoder_.answered = 0;
    PutValue(out, telnet::kSetBaud, params.baud, 4);
    PutValue(out, telnet::kSetDataSize, mode.dataBits, 1);
    PutValue(out, telnet::kSetParity, parity, 1);
    PutValue(out, telnet::kSetStopSize, stop, 1);
    if (!net::WriteAll(socket_, out.data(), static_cast<std::uint32_t>(out.size()), params.connectMs, reason)) {
        return Fail(TALVO_E_NEGOTIATE, "cannot negotiate with " + Where() + ": " + Ended(reason));
    }
    struct Setting {
        unsigned char code;
        std::uint32_t wanted;
        const char* name;
    };
    const Setting settings[] = {{telnet::kSetBaud, params.baud, "the baud rate"},
                                {telnet::kSetDataSize, mode.dataBits, "the data size"},
                                {telnet::kSetParity, parity, "the parity"},
                                {telnet::kSetStopSize, stop, "the stop size"}};
    for (const Setting& s : settings) {
        const std::uint32_t bit = 1u << s.code;
        if (!await([&] { return (decoder_.answered & bit) != 0; }, std::string("the setting of ") + s.name)) {
            return false;
        }
        const std::uint32_t got = decoder_.value[s.code];
        if (got != s.wanted) {
            return Fail(TALVO_E_LINE_FORMAT, Where() + " refused " + s.name + " " + std::to_string(s.wanted) +
                                                      " (it keeps " + std::to_string(got) + ")");
        }
    }
    return true;
}

std::string NetTransport::Ended(const std::string& why) const {
    if (replied_ || platform::clock::Ticks() - connectedAt_ >= kAtOnceMs) return why;
    const std::string said = Heard();
    return "closed at once" + (said.empty() ? std::string() : " after it said " + said) +
           ": another client may hold the port (" + why + ")";
}

void NetTransport::Hear(const unsigned char* data, std::uint32_t count) {
    constexpr std::size_t kKept = 80;
    if (replied_ || heard_.size() >= kKept) return;
    heard_.append(reinterpret_cast<const char*>(data), std::min<std::size_t>(count, kKept - heard_.size()));
}

std::string NetTransport::Heard() const {
    std::string text = heard_;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return text;
    for (const char c : text) {
        if (c < ' ' || c > '~') return std::string();
    }
    return "\"" + text + "\"";
}

void NetTransport::ExchangeEnded(bool replied) {
    if (!replied) {
        endedOnFrame_ = false;
        return;
    }
    replied_ = true;
    heard_.clear();
    failureText.clear();
}

void NetTransport::Close() {
    if (socket_ != net::kNoSocket) net::Close(socket_);
    socket_ = net::kNoSocket;
    open_ = false;
    lost_ = false;
    out_.clear();
}

void NetTransport::Drop(const std::string& why) {
    if (socket_ != net::kNoSocket) net::Close(socket_);
    socket_ = net::kNoSocket;
    lost_ = true;
    out_.clear();
    failureText = "the connection to " + params.device + " was lost: " + why;
}

bool NetTransport::Ready() {
    if (!open_) return false;
    if (SettingsChanged()) {
        const bool show = showFailures_;
        Close();
        const bool ok = Open(false);
        showFailures_ = show;
        return ok;
    }
    if (socket_ != net::kNoSocket) return true;
    // Made anew quietly: the command in progress reports what came of it.
    // What the device server kept of a reply to a request sent before the
    // drop may still come over the new connection.
    Unsettle();
    const bool show = showFailures_;
    showFailures_ = false;
    const bool ok = Connect();
    showFailures_ = show;
    if (!ok) open_ = false;
    return ok;
}

long NetTransport::ReadData(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) {
    const std::uint32_t start = waitMs == 0 ? 0 : platform::clock::Ticks();
    for (bool first = true;; first = false) {
        std::string why;
        const long n = net::Read(socket_, buffer, capacity, first || waitMs == 0 ? waitMs : Left(start, waitMs), why);
        if (n < 0) {
            Drop(Ended(why));
            return -1;
        }
        if (n == 0) return 0;
        if (!Telnet()) {
            Hear(buffer, static_cast<std::uint32_t>(n));
            return n;
        }
        reply_.clear();
        const std::uint32_t data = decoder_.Decode(buffer, static_cast<std::uint32_t>(n), reply_);
        Hear(buffer, data);
        if (!reply_.empty() && !Send(reply_)) return -1;
        if (data > 0) return static_cast<long>(data);
        if (waitMs == 0 || Left(start, waitMs) == 0) return 0;
    }
}

void NetTransport::Unsettle() {
    settling_ = true;
    unsettledAt_ = platform::clock::Ticks();
}

bool NetTransport::Quiet() const {
    return exchanged_ && endedOnFrame_ && !settling_ && socket_ != net::kNoSocket && !SettingsChanged();
}

void NetTransport::Purge() {
    if (settling_ && platform::clock::Ticks() - unsettledAt_ >= kSettleMs) settling_ = false;
    const bool quiet = Quiet();
    if (exchanged_ && !endedOnFrame_) Unsettle();
    exchanged_ = false;
    if (quiet) return;
    bool stale = false;
    // The drain has a budget in bytes and in time: a device server that
    // sends without pause (nothing a terminal does unasked) is dropped and
    // the line closed, so that the request that follows is not written.
    const std::uint32_t start = platform::clock::Ticks();
    std::uint32_t dropped = 0;
    // Twice at most: a connection found dropped here is made again once.
    for (int round = 0; round < 2; ++round) {
        if (!Ready()) return;
        unsigned char scratch[4096];
        long n;
        // Once something is found the line must go quiet for kQuietMs: the
        // rest of a late reply is taken with it, and a server that goes on
        // sending is found out, however fast this loop reads.
        while ((n = ReadData(scratch, sizeof scratch, stale ? kQuietMs : 0)) > 0) {
            stale = true;
            dropped += static_cast<std::uint32_t>(n);
            if (dropped > kPurgeBudget || Left(start, kPurgeLimitMs) == 0) {
                const std::uint32_t ms = platform::clock::Ticks() - start;
                // Closed as a connection that cannot be made again is: the
                // command's tries end here, and the next command opens the
                // line anew.
                Drop("");
                open_ = false;
                failureText = "the connection to " + params.device + " was dropped: the device server sent " +
                              std::to_string(dropped) + " bytes in " + std::to_string(ms) +
                              " ms that no request asked for (it sends without pause)";
                return;
            }
        }
        if (n == 0) break;
    }
    if (stale) Unsettle();
    // RFC 2217: the server's buffers are purged too (the request goes out
    // behind the command) when something may be left in them - bytes came
    // after the last reply, or the last request got no answer at all and
    // one may still come.  After a clean exchange there is nothing to purge,
    // and the command and its answer would only cost the round trip time.
    if (socket_ != net::kNoSocket && Telnet() && (stale || !answered_)) {
        PutValue(out_, telnet::kPurgeData, 3, 1);
    }
}

std::uint32_t NetTransport::Write(const unsigned char* bytes, std::uint32_t count) {
    lost_ = false;
    if (!Ready()) return 0;
    // A request goes out on a live connection: what failed before is over.
    failureText.clear();
    if (Telnet()) {
        telnet::Escape(bytes, count, out_);
    } else {
        out_.insert(out_.end(), bytes, bytes + count);
    }
    const bool sent = Send(out_);
    out_.clear();
    answered_ = false;
    endedOnFrame_ = false;
    exchanged_ = true;
    return sent ? count : 0;
}

std::uint32_t NetTransport::Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) {
    if (socket_ == net::kNoSocket || capacity == 0) return 0;
    const long n = ReadData(buffer, capacity, waitMs);
    if (n > 0) answered_ = true;
    // The receive ends on bytes whose third from the end is ETX; a read
    // that brings none (the wait ran out) or ends otherwise leaves the
    // exchange unsettled.
    endedOnFrame_ = n >= 3 && buffer[n - 3] == 0x03;
    return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}

}  // namespace talvo

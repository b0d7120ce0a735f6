// A line over the network: a device server reached as a raw TCP byte
// stream (tcp://host:port) or with Telnet's COM port control option
// (rfc2217://host:port).  The device server drives the RS-485 direction,
// so switching it is nothing here.  A connection that drops is made anew
// when the next frame goes out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/device_url.h"
#include "net/telnet.h"
#include "platform/platform.h"
#include "protocol/transport.h"

namespace talvo {

class NetTransport final : public Transport {
public:
    // Raw TCP (the device server passes the bytes through) or RFC 2217.
    enum class Protocol { kRaw, kRfc2217 };
    explicit NetTransport(Protocol protocol) : protocol_(protocol) {}
    ~NetTransport() override { Close(); }

    // Reads the URL (params.device, of this protocol's scheme), resolves
    // the host, connects and (RFC 2217) sets the line's baud rate and
    // format on the server.
    bool Open(bool messages) override;
    void Close() override;
    // Open means the line is in use: a dropped connection leaves it open
    // and is made again by the next Purge or Write (once; when that fails
    // the line is closed), as is one whose device, baud rate or format
    // changed since it was made.  A purge that finds the device server
    // sending without pause closes the line too.
    bool IsOpen() const override { return open_; }
    // Drops received bytes not yet read; RFC 2217: asks the server to purge
    // its buffers too when something may be left in them.  While the line
    // is quiet (see Quiet) there is nothing to drop and nothing is asked
    // of the connection.
    void Purge() override;
    void SetTransmit(bool) override {}
    std::uint32_t Write(const unsigned char* bytes, std::uint32_t count) override;
    std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) override;
    bool Lost() const override { return lost_; }
    // An exchange that did not end on its reply leaves the line unsettled.
    // `failureText` says what failed last until a request goes out again or
    // a reply comes (a connection made again, or one dropped for sending
    // without pause, still says why it was lost).
    void ExchangeEnded(bool replied) override;

    // Of params: the device (the URL), baud rate, line format and
    // connectMs; the queue sizes are not used.
    // A write that the connection does not take within this is a failure.
    static constexpr std::uint32_t kWriteLimitMs = 10000;
    // What a purge drops, at most, before it takes the device server for
    // one that sends without pause: two of the longest frames (a late reply
    // and its filler fit many times over; a terminal sends only when asked).
    // A negotiation that brings as much without completing fails the same
    // way.
    static constexpr std::uint32_t kPurgeBudget = 2 * 65536;
    // The longest a purge drains, whatever arrives, and the silence that
    // ends it once it found bytes.
    static constexpr std::uint32_t kPurgeLimitMs = 500;
    static constexpr std::uint32_t kQuietMs = 10;
    // A connection the device server ends this soon after it was made, with
    // no reply over it, was closed "at once": another client may hold the
    // port (a device server serves one client per device).
    static constexpr std::uint32_t kAtOnceMs = 3000;
    // How long after an exchange that did not end on a whole frame every
    // purge still looks at the connection: a reply that came too late for
    // its request may be on its way that long.
    static constexpr std::uint32_t kSettleMs = 10000;

private:
    bool Connect();
    bool Negotiate(std::uint32_t start);
    bool Fail(std::int32_t why, const std::string& text);
    void Drop(const std::string& why);
    // `why` of a connection that ends, with what it tells of a device
    // server that closed a new connection at once.
    std::string Ended(const std::string& why) const;
    // What the device server sent over a new connection before any reply,
    // when it reads as text ("Port already in use"): quoted, or empty.
    std::string Heard() const;
    void Hear(const unsigned char* data, std::uint32_t count);
    // Reconnects a dropped connection of an open line; false (and the line
    // closed) when that fails.
    bool Ready();
    // Reads and decodes; the data bytes, 0 when none came, -1 on a drop.
    long ReadData(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs);
    bool Send(const std::vector<unsigned char>& bytes);
    std::string Where() const;
    // True when nothing can be waiting on the connection: the request since
    // the last purge got its reply (the exchange found it whole, and the
    // last read brought bytes ending as a frame ends), and for kSettleMs no
    // exchange ended otherwise, no purge found bytes and the connection was
    // not made again.  Bytes that came since could only be sent by no
    // one: a terminal speaks when asked.
    bool Quiet() const;
    // Starts the time in which every purge looks at the connection.
    void Unsettle();

    // The device, baud rate and format the line was opened with: when the
    // settings change, the next frame goes out on a connection made anew
    // with the new ones.
    std::string openedDevice_;
    std::uint32_t openedBaud_ = 0;
    std::string openedFormat_;
    bool SettingsChanged() const;
    bool Telnet() const { return protocol_ == Protocol::kRfc2217; }
    const Protocol protocol_;
    DeviceUrl url_;
    platform::serial::LineMode mode_;
    platform::net::Handle socket_ = platform::net::kNoSocket;
    bool open_ = false;
    bool lost_ = false;
    bool answered_ = true;  // bytes came after the last request
    bool exchanged_ = false;     // a request went out since the last purge
    bool endedOnFrame_ = false;  // the last read ended as a frame ends
    bool settling_ = false;      // an exchange ended otherwise ...
    std::uint32_t unsettledAt_ = 0;  // ... at this tick
    bool showFailures_ = false;
    std::uint32_t connectedAt_ = 0;  // the tick the connection was made
    bool replied_ = false;           // a reply came over this connection
    std::string heard_;              // its first data bytes before one did
    telnet::Decoder decoder_;
    std::vector<unsigned char> out_;    // what goes out with the next write
    std::vector<unsigned char> reply_;  // the decoder's answers to the server
};

}  // namespace talvo

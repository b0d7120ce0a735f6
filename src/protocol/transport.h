// What a line needs of the medium that carries its frames: open and close
// it, purge what is pending, switch the direction of a half-duplex line,
// write a frame and wait for bytes with a time limit.  The serial port is
// one implementation; another medium is another file beside it, never a
// branch inside the serial code.
#pragma once

#include <cstdint>
#include <string>

namespace talvo {

// Why an open failed, as the line API reports it.
enum class OpenFailure {
    kNone, kNoDevice, kBusy, kAccess, kLineFormat, kOther,
    // Network lines: the device's URL, the host's name, the connection and
    // the device server's negotiation.
    kBadUrl, kUnknownScheme, kPortRange, kResolve, kConnect, kNegotiate
};

class Transport {
public:
    Transport() = default;
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // True when open afterwards (or already).  On failure `lastFailure` and
    // `failureText` say why; with `messages` the failure is also shown to
    // the user the way the medium shows it.
    virtual bool Open(bool messages) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Drops whatever is pending in both directions.
    virtual void Purge() = 0;
    // Direction of a half-duplex line: raised to send, lowered to listen.
    virtual void SetTransmit(bool transmit) = 0;
    // Writes the bytes and waits until they have left; the number written,
    // 0 when nothing could be written.
    virtual std::uint32_t Write(const unsigned char* bytes, std::uint32_t count) = 0;
    // Reads at most `capacity` bytes, waiting up to `waitMs` for the first
    // of them and returning as soon as bytes have come.
    virtual std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) = 0;
    // True when the medium went away since the last Write (a connection
    // that dropped): no more bytes will come for this frame.
    virtual bool Lost() const { return false; }
    // The end of an exchange: `replied` when the reply of the terminal
    // asked was found whole and passed its check, false when it ended on
    // silence, bytes holding no such frame or a refused check (so that
    // the rest of a reply may still be on its way).
    virtual void ExchangeEnded(bool replied) { static_cast<void>(replied); }

    OpenFailure lastFailure = OpenFailure::kNone;
    // One line naming the device, the step and the system's reason.
    std::string failureText;
};

}  // namespace talvo

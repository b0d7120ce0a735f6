// What a line needs of the medium that carries its frames: open and close
// it, purge what is pending, switch the direction of a half-duplex line,
// write a frame and wait for bytes with a time limit.  The serial port is
// one implementation and a device server on the network another; each kind
// is a file of its own, made by the transport factory from the device's
// name (src/transports/), never a branch inside another kind's code.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace talvo {

// A network line's first-byte allowance when none was given, and the limit
// of its connection.
inline constexpr std::uint32_t kDefaultNetAllowance = 40;
inline constexpr std::uint32_t kDefaultConnectTime = 3000;

// The parameters of a line: the device, its baud rate and line format, and
// what a kind of transport reads beside them.  A transport reads them at
// its next Open (a network line also when its next frame goes out).
struct LineParams {
    std::string device = "COM2";
    std::uint32_t baud = 4800;
    std::string format = "parity=N data=8 stop=1";
    // Serial lines: the driver's queue sizes.
    std::uint32_t inQueue = 2048;
    std::uint32_t outQueue = 1024;
    // Serial lines: the 43 exports purge before every request, as hosts
    // have always seen them do; the line API purges only a line that is
    // not quiet.
    bool purgeEveryExchange = true;
    // Network lines: the limit of the connection and of the device server's
    // answers while opening.
    std::uint32_t connectMs = kDefaultConnectTime;
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

    LineParams params;
    // Why the last Open failed: 0, or the line API's code for it
    // (TALVO_E_NO_DEVICE ... TALVO_E_NEGOTIATE, TALVO_E_OPEN for any other
    // reason).
    std::int32_t lastFailure = 0;
    // One line naming the device, the step and the system's reason.
    std::string failureText;

protected:
    // Shows an open failure to the user under the library's caption: on
    // Windows a message box with `text` (none when it is null), elsewhere
    // the one line `line` on standard error.
    static void ShowFailure(const platform::message::Text* text, const std::string& line);
};

}  // namespace talvo

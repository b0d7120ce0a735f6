// The serial port as a line's transport, driven half-duplex: RTS is raised
// while a frame is sent and lowered while the reply is awaited.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "protocol/transport.h"

namespace talvo {

class SerialPort final : public Transport {
public:
    SerialPort() = default;
    ~SerialPort() override { Close(); }

    // A failed step after the device opened closes it again.
    bool Open(bool messages) override;
    void Close() override;
    bool IsOpen() const override { return device_ != platform::serial::kNoDevice; }
    // Drops what is pending in both directions.  With
    // params.purgeEveryExchange off (the line API), a line that is quiet (see Quiet) has nothing to
    // drop, and the device is not asked.
    void Purge() override;
    // RTS: raised while a frame is sent, lowered while the reply is awaited.
    void SetTransmit(bool transmit) override;
    // Writes and waits until the transmitter is empty.
    std::uint32_t Write(const unsigned char* bytes, std::uint32_t count) override;
    std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) override;
    // An exchange that did not end on its reply leaves the line unsettled.
    void ExchangeEnded(bool replied) override {
        if (!replied) endedOnFrame_ = false;
    }

    // How long after an exchange that did not end on its reply every purge
    // is made: a reply that came too late for its request may still be on
    // its way that long.
    std::uint32_t settleMs = 10000;
    // Purges made on the device since this port was made.
    std::uint32_t purges = 0;

private:
    // True when nothing can be waiting on the line: the request since the
    // last purge got its reply (the exchange found it whole, and the bytes
    // read since the request end as a frame ends), and for settleMs no
    // exchange ended otherwise.  Bytes
    // that came since could only be sent by no one: a terminal speaks when
    // asked.
    bool Quiet();

    // Windows: the message box of the step (if it has one); elsewhere the
    // English `line`.
    static void ShowPortError(const char* step, long code, const std::string& line);

    platform::serial::Handle device_ = platform::serial::kNoDevice;
    bool exchanged_ = false;         // a request went out since the last purge
    bool endedOnFrame_ = false;      // the last read ended as a frame ends
    bool settling_ = false;          // an exchange ended otherwise ...
    std::uint32_t unsettledAt_ = 0;  // ... at this tick
    std::uint32_t tail_ = 0;         // the last three bytes read since the request
    std::uint32_t tailBytes_ = 0;    // how many of them there are
};

}  // namespace talvo

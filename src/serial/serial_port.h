// The serial port as a line's transport, driven half-duplex: RTS is raised
// while a frame is sent and lowered while the reply is awaited.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "protocol/transport.h"

namespace talvo {

// The parameters of a serial line: the device, its baud rate and line
// format, and the driver's queue sizes.
struct SerialParams {
    std::string device = "COM2";
    std::uint32_t baud = 4800;
    std::string format = "parity=N data=8 stop=1";
    std::uint32_t inQueue = 2048;
    std::uint32_t outQueue = 1024;
};

class SerialPort final : public Transport {
public:
    SerialPort() = default;
    ~SerialPort() override { Close(); }

    // A failed step after the device opened closes it again.
    bool Open(bool messages) override;
    void Close() override;
    bool IsOpen() const override { return device_ != platform::serial::kNoDevice; }
    void Purge() override;
    // RTS: raised while a frame is sent, lowered while the reply is awaited.
    void SetTransmit(bool transmit) override;
    // Writes and waits until the transmitter is empty.
    std::uint32_t Write(const unsigned char* bytes, std::uint32_t count) override;
    std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) override;

    SerialParams params;

private:
    // Windows: the message box of the step (if it has one); elsewhere the
    // English `line`.
    void ShowPortError(const char* step, long code, const std::string& line);

    platform::serial::Handle device_ = platform::serial::kNoDevice;
};

// Diagnostic texts, built in bounded buffers (300 and 800 bytes with the
// terminator); a frame too long for them is cut at a whole byte and marked.
std::string SendDiagnostic(const unsigned char* bytes, std::uint32_t count, std::size_t prefixBytes);
std::string ReceiveDiagnostic(const unsigned char* bytes, std::uint32_t count);

}  // namespace talvo

// The library's one serial port, driven half-duplex: RTS is raised while a
// frame is sent and lowered while the reply is awaited.
#pragma once

#include <cstdint>

#include "serial/port_settings.h"

namespace talvo {

class SerialPort : public PortSettings {
public:
    SerialPort() = default;
    ~SerialPort() override = default;

    // 1 if the port is open afterwards (or already was), 0 if a step failed.
    int Open();
    void Close();
    void Purge();
    // Number of bytes written; 0 when the port is not open or the write failed.
    std::uint32_t Send(const unsigned char* bytes, std::uint32_t count);
    // Number of bytes collected under the receive time limits.
    std::uint32_t Receive(unsigned char* buffer, std::uint32_t capacity, std::uint32_t sent);
    // Shows the message for a failed set-up step, if it has one.
    void ShowPortError(const char* step);

    static bool IsOpen();

private:
    // The one open device, shared by every port object of the library.
    static platform::serial::Handle device_;
};

// Diagnostic texts, built in bounded buffers (300 and 800 bytes with the
// terminator); a frame too long for them is cut at a whole byte and marked.
std::string SendDiagnostic(const unsigned char* bytes, std::uint32_t count, std::size_t prefixBytes);
std::string ReceiveDiagnostic(const unsigned char* bytes, std::uint32_t count);

}  // namespace talvo

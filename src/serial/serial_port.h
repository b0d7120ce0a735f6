// One serial port, driven half-duplex: RTS is raised while a frame is sent
// and lowered while the reply is awaited.  Every line owns one; the 43
// exports' module owns the default line and with it the library's one port.
#pragma once

#include <cstdint>
#include <string>

#include "serial/port_settings.h"

namespace talvo {

// Told of every frame the port sends and every reply it collects.
class FrameObserver {
public:
    virtual ~FrameObserver() = default;
    virtual void FrameSent(const unsigned char* bytes, std::uint32_t count) = 0;
    virtual void ReplyCollected(const unsigned char* bytes, std::uint32_t count) = 0;
};

// Why an open failed, as the line API reports it.
enum class OpenFailure { kNone, kNoDevice, kBusy, kAccess, kLineFormat, kOther };

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 if the port is open afterwards (or already was), 0 if a step failed;
    // `lastFailure` then says why.  A failed step after the device opened
    // closes it again.  With `messages` the failure is shown to the user.
    int Open(bool messages);
    void Close();
    bool IsOpen() const { return device_ != platform::serial::kNoDevice; }
    void Purge();
    // Number of bytes written; 0 when the port is not open or the write failed.
    std::uint32_t Send(const unsigned char* bytes, std::uint32_t count);
    // Number of bytes collected under the receive time limits, with
    // `waitTime` in place of the settings' WaitTime.
    std::uint32_t Receive(unsigned char* buffer, std::uint32_t capacity, std::uint32_t sent, std::uint32_t waitTime);

    PortSettings settings{PortSettings::DefaultsOnly{}};
    FrameObserver* observer = nullptr;
    OpenFailure lastFailure = OpenFailure::kNone;

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

#include "serial/serial_port.h"

#include "serial/messages.h"
#include "talvo.h"

namespace talvo {
namespace dev = platform::serial;

namespace {
std::int32_t Classify(platform::serial::Failure failure) {
    switch (failure) {
        case platform::serial::Failure::kMissing: return TALVO_E_NO_DEVICE;
        case platform::serial::Failure::kBusy: return TALVO_E_BUSY;
        case platform::serial::Failure::kAccess: return TALVO_E_ACCESS;
        default: return TALVO_E_OPEN;
    }
}
}  // namespace

bool SerialPort::Open(bool messages) {
    if (IsOpen()) return true;
    const LineParams& s = params;
    const std::string mode = s.device + ": baud=" + std::to_string(s.baud) + " " + s.format;
    // The failure is taken from the platform at once, before any other call
    // can overwrite it.
    auto fail = [&](dev::Handle h, const char* step, std::int32_t why, const std::string& what) {
        const long code = dev::LastError();
        const std::string reason = dev::LastFailureText();
        if (h != dev::kNoDevice) dev::Close(h);
        lastFailure = why;
        failureText = what + ": " + reason;
        if (messages) ShowPortError(step, code, failureText);
        return false;
    };
    dev::Handle h = dev::Open(s.device);
    if (h == dev::kNoDevice) {
        return fail(h, "OpenComm", Classify(dev::LastFailure()), "cannot open " + s.device);
    }
    // A step that fails after the device opened closes it again: a port
    // that is half set up is of no use, and a later command reopens it.
    platform::serial::LineMode control{};
    if (!dev::SetQueues(h, s.inQueue, s.outQueue)) {
        return fail(h, "SetupComm", TALVO_E_OPEN, "cannot set the queue sizes of " + s.device);
    }
    if (!dev::BuildMode(mode, control)) {
        return fail(h, "BuildCommDCB", TALVO_E_LINE_FORMAT,
                    "cannot use baud=" + std::to_string(s.baud) + " \"" + s.format + "\" on " + s.device);
    }
    if (!dev::ApplyMode(h, control)) {
        return fail(h, "SetCommState", TALVO_E_LINE_FORMAT,
                    "cannot set baud=" + std::to_string(s.baud) + " " + s.format + " on " + s.device);
    }
    if (!dev::SetTimeouts(h)) {
        return fail(h, "SetCommTimeouts", TALVO_E_OPEN, "cannot set the time-outs of " + s.device);
    }
    device_ = h;
    // What the device held before it was opened is dropped by the first
    // purge.
    exchanged_ = false;
    endedOnFrame_ = false;
    tail_ = 0;
    tailBytes_ = 0;
    lastFailure = 0;
    failureText.clear();
    return true;
}

void SerialPort::Close() {
    if (IsOpen() && dev::Close(device_)) device_ = dev::kNoDevice;
}

bool SerialPort::Quiet() {
    if (settling_ && platform::clock::Ticks() - unsettledAt_ >= settleMs) settling_ = false;
    return exchanged_ && endedOnFrame_ && !settling_;
}

void SerialPort::Purge() {
    if (!IsOpen()) return;
    const bool quiet = !params.purgeEveryExchange && Quiet();
    if (exchanged_ && !endedOnFrame_) {
        settling_ = true;
        unsettledAt_ = platform::clock::Ticks();
    }
    exchanged_ = false;
    if (quiet) return;
    dev::Purge(device_);
    ++purges;
}

void SerialPort::SetTransmit(bool transmit) {
    if (IsOpen()) dev::SetRts(device_, transmit);
}

std::uint32_t SerialPort::Write(const unsigned char* bytes, std::uint32_t count) {
    if (!IsOpen()) return 0;
    dev::ArmTransmitEmpty(device_);
    const std::uint32_t written = dev::Write(device_, bytes, count);
    exchanged_ = true;
    endedOnFrame_ = false;
    tail_ = 0;
    tailBytes_ = 0;
    // A failed write left nothing in the transmitter to wait for (and on a
    // device that has gone away the wait may never end).
    if (written > 0) dev::WaitTransmitEmpty(device_);
    return written;
}

std::uint32_t SerialPort::Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) {
    const std::uint32_t n = dev::Read(device_, buffer, capacity, waitMs);
    // The receive ends on bytes whose third from the end is ETX (the last
    // three since the request, whichever reads brought them); a read that
    // brings none (the wait ran out) or bytes ending otherwise leaves the
    // exchange unsettled.
    for (std::uint32_t i = n > 3 ? n - 3 : 0; i < n; ++i) tail_ = (tail_ << 8 | buffer[i]) & 0xFFFFFFu;
    tailBytes_ = n >= 3 ? 3 : (tailBytes_ + n > 3 ? 3 : tailBytes_ + n);
    endedOnFrame_ = n > 0 && tailBytes_ == 3 && (tail_ >> 16) == 0x03;
    return n;
}

void SerialPort::ShowPortError(const char* step, long code, const std::string& line) {
    std::string name(step);
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    const platform::message::Text* msg = nullptr;
    if (name == "OPENCOMM") {
        switch (code) {
            case -1: msg = &text::kBadDevice; break;
            case -2: msg = &text::kAlreadyOpen; break;
            case -3: msg = &text::kCannotOpen; break;
            case -4: msg = &text::kNoMemory; break;
            case -5: msg = &text::kBadDefaults; break;
            case -10: msg = &text::kPortTaken; break;
            case -11: msg = &text::kBadSettings; break;
            case -12: msg = &text::kBadBaud; break;
            default: break;
        }
    } else if (name == "BUILDCOMMDCB") {
        msg = &text::kBadModeText;
    } else if (name == "SETCOMMSTATE") {
        msg = &text::kBadState;
    } else if (name == "SETUPCOMM") {
        msg = &text::kBadQueues;
    } else if (name == "SETCOMMTIMEOUTS") {
        msg = &text::kBadTimeouts;
    }
    ShowFailure(msg, line);
}

}  // namespace talvo

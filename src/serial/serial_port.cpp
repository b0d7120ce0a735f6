#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>

#include "serial/messages.h"
#include "serial/receive_loop.h"
#include "serial/trace.h"
#include "shell/module_state.h"

namespace talvo {
namespace dev = platform::serial;

dev::Handle SerialPort::device_ = dev::kNoDevice;

bool SerialPort::IsOpen() { return device_ != dev::kNoDevice; }

int SerialPort::Open() {
    if (IsOpen()) return 1;
    dev::Handle h = dev::Open(ComName);
    if (h == dev::kNoDevice) {
        ShowPortError("OpenComm");
        return 0;
    }
    device_ = h;
    const std::string mode = ComName + ": baud=" + std::to_string(BautRate) + " " + StatStr;
    if (!dev::SetQueues(h, InQueue, OutQueue)) {
        ShowPortError("SetupComm");
        return 0;
    }
    if (!dev::BuildMode(mode, deviceControl)) {
        ShowPortError("BuildCommDCB");
        return 0;
    }
    if (!dev::ApplyMode(h, deviceControl)) {
        ShowPortError("SetCommState");
        return 0;
    }
    if (!dev::SetTimeouts(h)) {
        ShowPortError("SetCommTimeouts");
        return 0;
    }
    return 1;
}

void SerialPort::Close() {
    if (IsOpen() && dev::Close(device_)) device_ = dev::kNoDevice;
}

void SerialPort::Purge() {
    if (IsOpen()) dev::Purge(device_);
}

std::uint32_t SerialPort::Send(const unsigned char* bytes, std::uint32_t count) {
    if (!IsOpen()) return 0;
    dev::SetRts(device_, true);
    if (Module().displaySend != 0) {
        platform::message::ShowPlain(text::kSendPrefix, SendDiagnostic(bytes, count, 3));
    }
    trace::Frame(trace::Direction::kSent, bytes, count);
    dev::ArmTransmitEmpty(device_);
    const std::uint32_t written = dev::Write(device_, bytes, count);
    // A failed write left nothing in the transmitter to wait for (and on a
    // device that has gone away the wait may never end).
    if (written > 0) dev::WaitTransmitEmpty(device_);
    dev::SetRts(device_, false);
    return written;
}

std::uint32_t SerialPort::Receive(unsigned char* buffer, std::uint32_t capacity, std::uint32_t sent) {
    const dev::Handle h = device_;
    const std::uint32_t n = CollectReply(
        buffer, capacity, FirstByteDeadline(EchoTime, sent, BautRate), WaitTime,
        [h](unsigned char* at, std::uint32_t room, std::uint32_t wait) { return dev::Read(h, at, room, wait); },
        [] { return platform::clock::Ticks(); });
    if (Module().displayRecp != 0) {
        platform::message::ShowPlain(platform::message::Text{"", ""}, ReceiveDiagnostic(buffer, n));
    }
    trace::Frame(trace::Direction::kReceived, buffer, n);
    if (IsOpen()) dev::SetRts(device_, true);
    return n;
}

void SerialPort::ShowPortError(const char* step) {
    std::string name(step);
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    const long code = dev::LastError();
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
    if (msg != nullptr) platform::message::ShowError(text::kCaption, *msg);
}

namespace {
// Appends items while they fit in `limit` bytes (terminator included), then
// marks the cut with "..." where room is left for it.
std::string Bounded(const char* head, const unsigned char* bytes, std::uint32_t count, const char* itemFormat,
                    std::size_t limit) {
    std::string out(head);
    char item[8];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, itemFormat, static_cast<unsigned>(bytes[i]));
        if (out.size() + std::strlen(item) + 1 > limit) {
            while (out.size() + 3 + 1 > limit && !out.empty()) out.pop_back();
            out += "...";
            break;
        }
        out += item;
    }
    return out;
}
}  // namespace

std::string SendDiagnostic(const unsigned char* bytes, std::uint32_t count, std::size_t prefixBytes) {
    return Bounded("", bytes, count, ", %X", 300 - prefixBytes);
}

std::string ReceiveDiagnostic(const unsigned char* bytes, std::uint32_t count) {
    char head[32];
    std::snprintf(head, sizeof head, "Len=%d,Recp:", static_cast<int>(count));
    return Bounded(head, bytes, count, "-%X", 800);
}

}  // namespace talvo

// The name of a line's device: a serial device ("COM2", "/dev/ttyUSB0") or
// a device server on the network, "tcp://host:port" (a raw byte stream) or
// "rfc2217://host:port" (Telnet with the COM port control option).  Both
// faces read device names through here and nowhere else.
#pragma once

#include <cstdint>
#include <string>

namespace talvo {

enum class DeviceKind { kSerial, kTcp, kRfc2217 };

struct DeviceUrl {
    DeviceKind kind = DeviceKind::kSerial;
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

enum class UrlProblem { kNone, kMalformed, kUnknownScheme, kPortRange };

// True when `device` names a network line (it has a scheme, "xxx://"),
// whether the rest of it is well formed or not.
bool IsNetworkDevice(const std::string& device);

// Reads a device name.  A name without a scheme is a serial device.  On a
// problem `why` says what is wrong with the name.
UrlProblem ParseDevice(const std::string& device, DeviceUrl& url, std::string& why);

// True when the line of `device` is a network line: a well-formed URL, or
// one that means to be (and fails at open with its problem).
bool UsesNetwork(const std::string& device);

// The network allowance of a line when none was given.
inline constexpr std::uint32_t kDefaultNetAllowance = 40;
inline constexpr std::uint32_t kDefaultConnectTime = 3000;

}  // namespace talvo

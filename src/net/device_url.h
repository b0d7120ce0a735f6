// The name of a network line's device, "scheme://host:port": a device
// server reached as a raw byte stream (tcp://) or with Telnet's COM port
// control option (rfc2217://).  Which schemes a line may use is the
// transport factory's table (src/transports/); here is only the URL's
// grammar, the same for every scheme.
#pragma once

#include <cstdint>
#include <string>

namespace talvo {

struct DeviceUrl {
    std::string scheme;  // in lower case
    std::string host;    // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

// True when `device` names a network line (it has a scheme, "xxx://"),
// whether the rest of it is well formed or not.
bool IsNetworkDevice(const std::string& device);

// `s` with its ASCII letters in lower case.
std::string LowerCase(std::string s);

// Reads "scheme://host:port", whatever the scheme: 0, or TALVO_E_URL (not
// such a URL) or TALVO_E_URL_PORT (a port outside 1-65535) with `why`
// saying what is wrong with the name.
std::int32_t ParseUrl(const std::string& device, DeviceUrl& url, std::string& why);

}  // namespace talvo

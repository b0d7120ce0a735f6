#include "net/device_url.h"

#include "talvo.h"

namespace talvo {
namespace {
constexpr const char* kSeparator = "://";

bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string LowerCase(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

namespace {
// A host name or IPv4 address: letters, digits, dots, hyphens, underscores.
bool PlainHost(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        if (!Letter(c) && !Digit(c) && c != '.' && c != '-' && c != '_') return false;
    }
    return true;
}

// The inside of [...]: hex digits, colons, dots (an embedded IPv4 address)
// and a zone after '%'.
bool SixHost(const std::string& host) {
    if (host.size() < 2 || host.find(':') == std::string::npos) return false;
    const std::size_t zone = host.find('%');
    for (std::size_t i = 0; i < host.size() && i < zone; ++i) {
        const char c = host[i];
        if (!Digit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != ':' && c != '.') return false;
    }
    if (zone != std::string::npos) {
        if (zone + 1 >= host.size()) return false;
        for (std::size_t i = zone + 1; i < host.size(); ++i) {
            if (!Letter(host[i]) && !Digit(host[i]) && host[i] != '.' && host[i] != '-' && host[i] != '_') return false;
        }
    }
    return true;
}
}  // namespace

bool IsNetworkDevice(const std::string& device) {
    const std::size_t at = device.find(kSeparator);
    if (at == std::string::npos || at == 0) return false;
    for (std::size_t i = 0; i < at; ++i) {
        const char c = device[i];
        if (!Letter(c) && !(i > 0 && (Digit(c) || c == '+' || c == '-' || c == '.'))) return false;
    }
    return true;
}

std::int32_t ParseUrl(const std::string& device, DeviceUrl& url, std::string& why) {
    url = DeviceUrl();
    why.clear();
    if (!IsNetworkDevice(device)) {
        why = "\"" + device + "\" is not a network device";
        return TALVO_E_URL;
    }
    const std::size_t at = device.find(kSeparator);
    const std::string scheme = LowerCase(device.substr(0, at));
    const std::string rest = device.substr(at + 3);
    auto malformed = [&](const std::string& what) {
        why = "\"" + device + "\" is not a device URL: " + what + " (expected " + scheme + "://host:port)";
        return TALVO_E_URL;
    };
    std::string host;
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return malformed("the IPv6 address lacks its ']'");
        host = rest.substr(1, close - 1);
        if (!SixHost(host)) return malformed("\"" + host + "\" is not an IPv6 address");
        if (close + 1 >= rest.size() || rest[close + 1] != ':') return malformed("the port is missing");
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos) return malformed("the port is missing");
        host = rest.substr(0, colon);
        if (host.empty()) return malformed("the host is missing");
        if (!PlainHost(host)) return malformed("\"" + host + "\" is not a host name or address");
    }
    const std::string port = rest.substr(colon + 1);
    if (port.empty()) return malformed("the port is missing");
    for (char c : port) {
        if (!Digit(c)) return malformed("the port \"" + port + "\" is not a decimal number");
    }
    unsigned long value = 0;
    for (char c : port) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) break;
    }
    if (value == 0 || value > 65535) {
        why = "port " + port + " of \"" + device + "\" is out of range (1-65535)";
        return TALVO_E_URL_PORT;
    }
    url.scheme = scheme;
    url.host = host;
    url.port = static_cast<std::uint16_t>(value);
    return 0;
}

}  // namespace talvo

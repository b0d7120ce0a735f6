#include "transports/transport_factory.h"

#include <iterator>

#include "net/device_url.h"
#include "net/net_transport.h"
#include "serial/serial_port.h"
#include "talvo.h"

namespace talvo {
namespace {

// The URL schemes and their transports.  A new kind of network line is
// one row here and its transport's own file.
struct Scheme {
    const char* name;  // in lower case
    std::unique_ptr<Transport> (*make)();
};
const Scheme kSchemes[] = {
    {"tcp", []() -> std::unique_ptr<Transport> { return std::make_unique<NetTransport>(NetTransport::Protocol::kRaw); }},
    {"rfc2217",
     []() -> std::unique_ptr<Transport> { return std::make_unique<NetTransport>(NetTransport::Protocol::kRfc2217); }},
};

const Scheme* FindScheme(const std::string& lowerName) {
    for (const Scheme& scheme : kSchemes) {
        if (lowerName == scheme.name) return &scheme;
    }
    return nullptr;
}

// "tcp://host:port or rfc2217://host:port"
std::string KnownForms() {
    std::string forms;
    for (std::size_t i = 0; i < std::size(kSchemes); ++i) {
        if (i > 0) forms += i + 1 == std::size(kSchemes) ? " or " : ", ";
        forms += std::string(kSchemes[i].name) + "://host:port";
    }
    return forms;
}

// The transport of a name that names no line: its open fails, and says why.
class UnusableDevice final : public Transport {
public:
    UnusableDevice(std::int32_t problem, std::string why) : problem_(problem), why_(std::move(why)) {}
    bool Open(bool messages) override {
        lastFailure = problem_;
        failureText = why_;
        if (messages) ShowFailure(nullptr, why_);
        return false;
    }
    void Close() override {}
    bool IsOpen() const override { return false; }
    void Purge() override {}
    void SetTransmit(bool) override {}
    std::uint32_t Write(const unsigned char*, std::uint32_t) override { return 0; }
    std::uint32_t Read(unsigned char*, std::uint32_t, std::uint32_t) override { return 0; }

private:
    std::int32_t problem_;
    std::string why_;
};

}  // namespace

std::int32_t CheckDevice(const std::string& device, std::string& why) {
    why.clear();
    if (!IsNetworkDevice(device)) {
        // A scheme's name with a single colon, or "://" behind something that
        // is no scheme, means a URL that went wrong, not a serial device.
        const std::string lower = LowerCase(device);
        const std::size_t colon = lower.find(':');
        if (colon != std::string::npos && FindScheme(lower.substr(0, colon)) != nullptr) {
            why = "\"" + device + "\" is not a device URL (expected " + lower.substr(0, colon) + "://host:port)";
            return TALVO_E_URL;
        }
        if (device.find("://") != std::string::npos) {
            why = "\"" + device + "\" is not a device URL: the scheme before :// is missing or malformed";
            return TALVO_E_URL;
        }
        return 0;
    }
    const std::string written = device.substr(0, device.find("://"));
    if (FindScheme(LowerCase(written)) == nullptr) {
        why = "unknown scheme \"" + written + "://\" in \"" + device + "\": a line is a serial device, " + KnownForms();
        return TALVO_E_SCHEME;
    }
    DeviceUrl url;
    return ParseUrl(device, url, why);
}

bool UsesNetwork(const std::string& device) {
    std::string why;
    return IsNetworkDevice(device) || CheckDevice(device, why) != 0;
}

std::string TransportKind(const std::string& device) {
    std::string why;
    if (CheckDevice(device, why) != 0) return "?";
    if (!IsNetworkDevice(device)) return std::string();
    return LowerCase(device.substr(0, device.find("://")));
}

std::unique_ptr<Transport> MakeTransport(const std::string& device) {
    std::string why;
    const std::int32_t problem = CheckDevice(device, why);
    std::unique_ptr<Transport> transport;
    if (problem != 0) {
        transport = std::make_unique<UnusableDevice>(problem, why);
    } else if (!IsNetworkDevice(device)) {
        transport = std::make_unique<SerialPort>();
    } else {
        transport = FindScheme(LowerCase(device.substr(0, device.find("://"))))->make();
    }
    transport->params.device = device;
    return transport;
}

}  // namespace talvo

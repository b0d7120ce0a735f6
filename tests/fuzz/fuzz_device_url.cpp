// Device names: a serial device or a device server's URL, as both faces and
// the service's configuration take them.
#include "fuzz_check.h"
#include "net/device_url.h"
#include "transports/transport_factory.h"

using namespace talvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const std::string device = fuzz::Text(data, size);
    std::string why;
    const std::int32_t code = CheckDevice(device, why);
    const bool network = IsNetworkDevice(device);
    // A problem always says what it is; a good name says nothing.
    FUZZ_CHECK((code == 0) == why.empty());
    if (network) FUZZ_CHECK(UsesNetwork(device));
    if (code != 0) return 0;
    if (!network) {
        FUZZ_CHECK(TransportKind(device).empty());
        return 0;
    }
    // A network URL names a host and a port 1-65535, its scheme picks the
    // transport, and written out again it reads as the same line.
    DeviceUrl url;
    FUZZ_CHECK(ParseUrl(device, url, why) == 0);
    FUZZ_CHECK(!url.host.empty() && url.port != 0);
    FUZZ_CHECK(TransportKind(device) == url.scheme);
    const bool six = url.host.find(':') != std::string::npos;
    const std::string again = url.scheme + "://" + (six ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
    FUZZ_CHECK(CheckDevice(again, why) == 0);
    DeviceUrl second;
    FUZZ_CHECK(ParseUrl(again, second, why) == 0);
    FUZZ_CHECK(second.scheme == url.scheme && second.host == url.host && second.port == url.port);
    return 0;
}

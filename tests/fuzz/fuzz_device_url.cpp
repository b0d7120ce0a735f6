// Device names: a serial device or a device server's URL, as both faces and
// the service's configuration take them.
#include "fuzz_check.h"
#include "net/device_url.h"

using namespace talvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const std::string device = fuzz::Text(data, size);
    DeviceUrl url;
    std::string why;
    const UrlProblem problem = ParseDevice(device, url, why);
    const bool network = IsNetworkDevice(device);
    // A problem always says what it is; a good name says nothing.
    FUZZ_CHECK((problem == UrlProblem::kNone) == why.empty());
    FUZZ_CHECK(problem != UrlProblem::kUnknownScheme || network);
    if (network) FUZZ_CHECK(UsesNetwork(device));
    if (problem != UrlProblem::kNone) return 0;
    FUZZ_CHECK((url.kind != DeviceKind::kSerial) == network);
    if (url.kind == DeviceKind::kSerial) {
        FUZZ_CHECK(url.host.empty() && url.port == 0);
        return 0;
    }
    // A network URL names a host and a port 1-65535, and written out again
    // it reads as the same line.
    FUZZ_CHECK(!url.host.empty() && url.port != 0);
    const bool six = url.host.find(':') != std::string::npos;
    const std::string again = std::string(url.kind == DeviceKind::kTcp ? "tcp" : "rfc2217") + "://" +
                              (six ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
    DeviceUrl second;
    FUZZ_CHECK(ParseDevice(again, second, why) == UrlProblem::kNone);
    FUZZ_CHECK(second.kind == url.kind && second.host == url.host && second.port == url.port);
    return 0;
}

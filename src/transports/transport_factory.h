// Every transport a line may have is made here, from the device's name: a
// serial device ("COM3", "/dev/ttyUSB0") without a scheme, or a URL
// "scheme://host:port" whose scheme picks the transport from one table.
// Both faces make their lines' transports here and nowhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/transport.h"

namespace talvo {

// 0 when `device` names a line; otherwise TALVO_E_URL (a malformed URL, or
// a name that means to be one), TALVO_E_SCHEME (a scheme no transport
// serves) or TALVO_E_URL_PORT (a port outside 1-65535), with `why` saying
// what is wrong with the name.
std::int32_t CheckDevice(const std::string& device, std::string& why);

// True when the line of `device` is a network line: a well-formed URL, or
// a name that means to be one (and fails at open with its problem).
bool UsesNetwork(const std::string& device);

// The kind of transport `device` gets: empty for a serial port, the
// URL's scheme (in lower case) for a network line, "?" for a name that
// names no line.  A line whose device changes kind needs a new transport.
std::string TransportKind(const std::string& device);

// A transport for `device`, closed, with params.device set.  For a name
// that names no line it is one whose Open fails with CheckDevice's code and
// reason.
std::unique_ptr<Transport> MakeTransport(const std::string& device);

}  // namespace talvo

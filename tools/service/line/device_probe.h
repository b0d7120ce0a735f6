// What the start and `talvod --check` find of a line's device: a serial
// device is there or not; a device server on the network is asked for a
// connection, with a short deadline.  Warnings only: a device may come and
// go while the service runs.
#pragma once

#include <cstdint>
#include <string>

namespace talvo::service {

struct ProbeResult {
    bool malformed = false;  // the device's URL cannot be read (`problem` says why)
    bool ok = true;          // there now, or answering
    std::string problem;     // why not, in the system's words where it has some
};

// `limitMs` bounds the connection to a device server and the wait for it
// to close a new connection at once (another client holds it).
ProbeResult ProbeDevice(const std::string& device, std::uint32_t limitMs = 1500);

}  // namespace talvo::service

// The one state object of the loaded library.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace talvo {

class SerialPort;

struct ModuleState {
    // Atomic so that the small exports may read them while another thread
    // holds the port for an exchange.
    std::atomic<std::int32_t> lastError{0};
    std::atomic<std::int32_t> displayRecp{0};
    std::atomic<std::int32_t> displaySend{0};
    std::unique_ptr<SerialPort> port;
};

ModuleState& Module();

// Load and unload steps, run from the platform's module notifications.
int Attach();
void Detach();

// Holds the module-wide lock for the lifetime of the object: every export
// that uses the port runs under it, so two host threads cannot interleave
// their frames on the line.
class PortLock {
public:
    PortLock();
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

}  // namespace talvo

// The one state object of the loaded library: the default line that the 43
// exports drive, with its port, last error and display switches.
#pragma once

#include "protocol/line.h"

namespace talvo {

struct ModuleState {
    Line line{true};
};

ModuleState& Module();

// Load and unload steps, run from the platform's module notifications.
// With TALVO_DEFER_PORT=1 in the environment the load does not open the
// port: the first command of the 43 exports does (for hosts that use only
// the line API).
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

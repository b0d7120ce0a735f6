#include "shell/module_state.h"

#include <new>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace talvo {

ModuleState& Module() {
    // Never destroyed: the unload step still needs it after the library's
    // static objects may have gone.
    static ModuleState* const state = new ModuleState();
    return *state;
}

int Attach() {
    ModuleState& m = Module();
    m.displayRecp = 0;
    m.displaySend = 0;
    m.port.reset(new (std::nothrow) SerialPort());
    if (!m.port) return 0;
    return m.port->Open();
}

void Detach() {
    ModuleState& m = Module();
    if (m.port) {
        m.port->Close();
        m.port.reset();
    }
}

PortLock::PortLock() { platform::lock::Acquire(); }
PortLock::~PortLock() { platform::lock::Release(); }

}  // namespace talvo

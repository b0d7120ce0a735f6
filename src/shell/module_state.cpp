#include "shell/module_state.h"

#include <new>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace talvo {

ModuleState& Module() {
    // Built in static storage on first use and never destroyed: the unload
    // step still needs it after the library's static objects may have gone,
    // and nothing is left on the heap when the library is unloaded.
    alignas(ModuleState) static unsigned char storage[sizeof(ModuleState)];
    static ModuleState* const state = new (storage) ModuleState();
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

#include "shell/module_state.h"

#include <new>

#include "platform/platform.h"

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
    Line& line = Module().line;
    line.displayRecp = 0;
    line.displaySend = 0;
    line.port.settings = PortSettings();
    if (platform::env::Get("TALVO_DEFER_PORT") == "1") return 1;
    return line.OpenPort(false);
}

void Detach() { Module().line.port.Close(); }

PortLock::PortLock() { platform::lock::Acquire(); }
PortLock::~PortLock() { platform::lock::Release(); }

}  // namespace talvo

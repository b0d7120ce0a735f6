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
    // The frame trace is configured once, when the library loads: a lookup
    // scans the whole environment, a microsecond a command under Wine.
    line.SetTraceTarget(platform::env::Get("TALVO_TRACE"));
    // A host that uses lines only: no settings file is read or made, and no
    // port opened, until a command of the 43 exports asks for it.
    if (platform::env::Get("TALVO_DEFER_PORT") == "1") return 1;
    line.port.settings.Reload();
    return line.OpenPort(false);
}

// The module state is never destroyed, but what it holds on the heap is
// given back: after an unload nothing of the library may be left behind.
void Detach() { Module().line.Release(); }

PortLock::PortLock() { platform::lock::Acquire(); }
PortLock::~PortLock() { platform::lock::Release(); }

}  // namespace talvo

// What the platform's module notifications (DllMain, the shared object's
// constructor and destructor) call: the load and unload steps of the
// library, which its face provides.
#pragma once

namespace talvo {

// The load step.  False when the library cannot serve its hosts (its port
// did not open): a DLL then refuses to load; a shared object stays loaded
// and reports the failure through its results.
bool ModuleAttach();
// The unload step: gives back everything the library holds.
void ModuleDetach();

}  // namespace talvo

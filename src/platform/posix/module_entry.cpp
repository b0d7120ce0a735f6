// Load and unload of libtalvo.so.  A shared library cannot refuse to load, so
// a port that cannot be opened leaves it loaded: the failure is reported on
// standard error, GetError reads -1, and every command tries to open the port
// again and fails with -1 until the device is there.
#include "platform/module_entry.h"

// Defined (as 1) by a host that drives lines only and links the library
// directly (TALVO_LINES_ONLY_HOST in talvo.h); absent everywhere else.
extern "C" __attribute__((weak)) const int talvo_lines_only;

namespace {

bool LinesOnlyHost() { return &talvo_lines_only != nullptr && talvo_lines_only != 0; }

__attribute__((constructor)) void LoadLibraryStep() {
    // Such a host gets no port and no settings file from the load step.
    if (LinesOnlyHost()) return;
    // A failure has been reported on standard error in one line.
    static_cast<void>(talvo::ModuleAttach());
}

__attribute__((destructor)) void UnloadLibraryStep() { talvo::ModuleDetach(); }

}  // namespace

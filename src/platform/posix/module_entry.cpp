// Load and unload of libtalvo.so.  A shared library cannot refuse to load, so
// a port that cannot be opened leaves it loaded but unusable: the failure is
// reported on standard error, GetError reads -1 and every command fails.
#include <cstdio>

#include "serial/serial_port.h"
#include "shell/module_state.h"

namespace {

__attribute__((constructor)) void LoadLibraryStep() {
    if (talvo::Attach() != 0) return;
    talvo::ModuleState& m = talvo::Module();
    // A set-up step that failed after the device was opened leaves it open;
    // close it, so that the library is unusable as a refused load would be.
    if (m.port) m.port->Close();
    m.lastError = -1;
    std::fprintf(stderr, "talvo: the serial port \"%s\" cannot be opened; every command will fail with -1\n",
                 m.port ? m.port->ComName.c_str() : "?");
    std::fflush(stderr);
}

__attribute__((destructor)) void UnloadLibraryStep() { talvo::Detach(); }

}  // namespace

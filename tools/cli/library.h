// Finding and loading the library, as a host program does.
#pragma once

#include <string>

#include "host_library.h"

namespace talvo::cli {

// TALVO_LIBRARY when set; else beside the program (the build tree, an
// installed bin/../lib), then wherever the system looks.
std::string LibraryPath();

void SetEnv(const char* name, const char* value);

// Loads the library for what needs no terminal (decoding a record, its
// version): no port is opened and no settings file of the user's is read
// or written.  False with a one-line problem when it cannot be loaded.
bool LoadWithoutPort(host::HostLibrary& lib, std::string& problem);

}  // namespace talvo::cli

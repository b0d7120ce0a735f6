// What the tool shares between its subcommands and the demo.
#pragma once

#include <string>

#include "host_library.h"

namespace talvo::cli {

// The meaning of a GetError code, for messages.
const char* ErrorMeaning(int code);
// Prints "talvo: <what> failed: ..." with the library's last error and
// returns exit status 1.
int Failed(host::HostLibrary& lib, int terminal, const std::string& what);
// The host's clock as "YYYY/MM/DD HH:MM" (terminal clock) or
// "YYYYMMDDHHMMSS" (attendance clock).
std::string Now(bool attendance);
// Prints a store file as a table, CSV or JSON; exit status 0, or 2 when the
// file cannot be shown.
int PrintRecords(const std::string& path, const std::string& format);

#ifndef _WIN32
// The walk-through against a software terminal of its own.
int RunDemo(host::HostLibrary& lib, const std::string& libraryPath, const std::string& directory);
#endif

}  // namespace talvo::cli

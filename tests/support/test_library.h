// The library under test, loaded as a host loads it.
#pragma once

#include <cstdlib>
#include <string>

#include "host_library.h"

namespace talvo::test {

class HostLibrary : public host::HostLibrary {
public:
    bool Load(unsigned long* error = nullptr) { return host::HostLibrary::Load(Path(), error); }

    static std::string Path() {
#ifdef _WIN32
        return "TALVO.dll";
#else
        const char* own = std::getenv("TALVO_LIBRARY");
        return own != nullptr ? own : TALVO_LIBRARY_PATH;
#endif
    }
};

}  // namespace talvo::test

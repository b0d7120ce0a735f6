#include "library.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace talvo::cli {

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    // The C runtime's copy and the process's own, which the DLL reads.
    _putenv_s(name, value);
    SetEnvironmentVariableA(name, value);
#else
    setenv(name, value, 1);
#endif
}

std::string LibraryPath() {
    const char* own = std::getenv("TALVO_LIBRARY");
    if (own != nullptr && *own != '\0') return own;
#ifdef _WIN32
    return "TALVO.dll";
#else
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.resize(dir.rfind('/'));
        for (const std::string& candidate : {dir + "/libtalvo.so.1", dir + "/../lib/libtalvo.so.1"}) {
            if (access(candidate.c_str(), R_OK) == 0) return candidate;
        }
    }
    return "libtalvo.so.1";
#endif
}

bool LoadWithoutPort(host::HostLibrary& lib, std::string& problem) {
    // The library opens no port at load with this set.
    SetEnv("TALVO_DEFER_PORT", "1");
    return lib.Load(LibraryPath(), nullptr, &problem);
}

}  // namespace talvo::cli

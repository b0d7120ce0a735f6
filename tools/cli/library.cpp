#include "library.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "private_settings.h"

namespace talvo::cli {
namespace {

#ifndef _WIN32
// Standard error sent to /dev/null for as long as it lives.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = dup(2);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, 2);
        if (null >= 0) close(null);
    }
    ~QuietStderr() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};
#endif

}  // namespace

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
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
#ifdef _WIN32
    return lib.Load(LibraryPath(), nullptr, &problem);
#else
    // A library that opens its port at load anyway is pointed at a device
    // that cannot exist, and its complaint about it is not shown.
    static PrivateSettings settings;
    if (!settings.Write({{"ComName", "/dev/null/talvo-no-port"}}, problem)) return false;
    QuietStderr quiet;
    return lib.Load(LibraryPath(), nullptr, &problem);
#endif
}

}  // namespace talvo::cli

#include "host_library.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace talvo::test {

std::string HostLibrary::Path() {
#ifdef _WIN32
    return "TALVO.dll";
#else
    const char* own = std::getenv("TALVO_LIBRARY");
    return own != nullptr ? own : TALVO_LIBRARY_PATH;
#endif
}

bool HostLibrary::Load(unsigned long* error) {
    Unload();
#ifdef _WIN32
    handle_ = reinterpret_cast<void*>(LoadLibraryA(Path().c_str()));
    if (handle_ == nullptr) {
        if (error != nullptr) *error = GetLastError();
        return false;
    }
#else
    handle_ = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        if (error != nullptr) *error = 1;
        return false;
    }
#endif
#define TALVO_RESOLVE(name) name = reinterpret_cast<decltype(name)>(Symbol(#name));
    TALVO_EXPORTS(TALVO_RESOLVE)
#undef TALVO_RESOLVE
    return true;
}

void HostLibrary::Unload() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
#define TALVO_CLEAR(name) name = nullptr;
    TALVO_EXPORTS(TALVO_CLEAR)
#undef TALVO_CLEAR
}

void* HostLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

void* HostLibrary::Ordinal(int ordinal) const {
#ifdef _WIN32
    if (handle_ == nullptr) return nullptr;
    return reinterpret_cast<void*>(
        GetProcAddress(reinterpret_cast<HMODULE>(handle_), MAKEINTRESOURCEA(static_cast<WORD>(ordinal))));
#else
    (void)ordinal;
    return nullptr;
#endif
}

}  // namespace talvo::test

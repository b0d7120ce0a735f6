#include "host_library.h"

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace talvo::host {

void FreeHostBlock(void* block) {
    if (block == nullptr) return;
#ifdef _WIN32
    HGLOBAL handle = GlobalHandle(block);
    GlobalUnlock(handle);
    GlobalFree(handle);
#else
    std::free(block);
#endif
}

std::size_t HostBlockSize(void* block) {
#ifdef _WIN32
    return GlobalSize(GlobalHandle(block));
#else
    (void)block;
    return 0;
#endif
}

bool HostLibrary::Load(const std::string& path, unsigned long* error, std::string* message) {
    Unload();
#ifdef _WIN32
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (handle_ == nullptr) {
        const DWORD code = GetLastError();
        if (error != nullptr) *error = code;
        if (message != nullptr) {
            *message = code == ERROR_DLL_INIT_FAILED ? "the library refused to load: its serial port cannot be opened"
                                                     : "cannot load " + path + " (error " + std::to_string(code) + ")";
        }
        return false;
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        if (error != nullptr) *error = 1;
        if (message != nullptr) *message = dlerror();
        return false;
    }
#endif
#define TALVO_RESOLVE(name) name = reinterpret_cast<decltype(name)>(Symbol(#name));
    TALVO_EXPORTS(TALVO_RESOLVE)
    TALVO_LINE_EXPORTS(TALVO_RESOLVE)
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

}  // namespace talvo::host

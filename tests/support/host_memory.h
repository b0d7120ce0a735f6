// Releasing a block the library handed over, the way a host does it, and
// the block's size where the platform can tell.
#pragma once

#include <cstddef>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace talvo::test {

inline void FreeHostBlock(void* block) {
#ifdef _WIN32
    HGLOBAL handle = GlobalHandle(block);
    GlobalUnlock(handle);
    GlobalFree(handle);
#else
    std::free(block);
#endif
}

// 0 where the platform cannot tell.
inline std::size_t HostBlockSize(void* block) {
#ifdef _WIN32
    return GlobalSize(GlobalHandle(block));
#else
    (void)block;
    return 0;
#endif
}

}  // namespace talvo::test

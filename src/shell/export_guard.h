// Wrappers that every export runs its body in: no exception ever crosses the
// boundary, and the exports that use the port hold the module lock.
#pragma once

#include "shell/module_state.h"

namespace talvo {

// Runs `body` under the module lock; any exception becomes `fallback`.
template <class Result, class Body>
Result WithPort(Result fallback, Body&& body) noexcept {
    try {
        PortLock lock;
        return body();
    } catch (...) {
        return fallback;
    }
}

// Runs `body` without the lock (exports that never touch the port).
template <class Result, class Body>
Result Guarded(Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

}  // namespace talvo

// Wrappers that every export runs its body in: no exception ever crosses the
// boundary, and the exports that use the port hold the module lock and see
// the settings file as it is now.
#pragma once

#include "shell/module_state.h"

namespace talvo {

// Runs `body(line)` on the default line under the module lock, after the
// settings file has been read again; any exception becomes `fallback`.
template <class Result, class Body>
Result WithPort(Result fallback, Body&& body) noexcept {
    try {
        PortLock lock;
        ModuleState& module = Module();
        module.Reload();
        return body(module.line);
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

// Terminal numbers travel in one byte: anything outside 0-255 is refused
// rather than sent to another terminal.
inline bool ValidTerminal(int terminal) { return terminal >= 0 && terminal <= 255; }

// The answer of an export whose command takes and returns nothing but the
// terminal's word: 1 when the terminal accepted it; 0 for a terminal number
// out of range, a failed exchange or a refusal.
template <class Command>
int AcceptedBy(int terminal, Command&& command) noexcept {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return command(line, terminal).accepted ? 1 : 0; });
}

}  // namespace talvo

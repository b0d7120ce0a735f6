// The one state object of the loaded library: the default line that the 43
// exports drive, its serial port, the settings read for every command, and
// the display switches and trace file that watch its frames.
#pragma once

#include <atomic>
#include <string>

#include "protocol/line.h"
#include "shell/port_settings.h"

namespace talvo {

// What the 43 exports show of the frames: a message box per frame while a
// display switch is on, and the trace file TALVO_TRACE named at load.
class LegacyFrames final : public FrameObserver {
public:
    void FrameSent(const unsigned char* bytes, std::uint32_t count, int terminal, int command) override;
    void ReplyCollected(const unsigned char* bytes, std::uint32_t count, int terminal, int command) override;

    // The file (or "-" for standard error) the trace appends to; empty: none.
    void SetTraceTarget(std::string target) { traceTarget_ = std::move(target); }
    void Release() { std::string().swap(traceTarget_); }

    std::atomic<std::int32_t> displayRecp{0};
    std::atomic<std::int32_t> displaySend{0};

private:
    std::string traceTarget_;
};

struct ModuleState {
    ModuleState();
    Line line;
    PortSettings settings{PortSettings::DefaultsOnly{}};
    LegacyFrames frames;

    // Reads the settings file (when it changed) into the line and its
    // transport: a serial port, or a network line when ComName is a URL.
    // A device of another kind (TransportKind) gets a new transport
    // (closed; the next command opens it).
    void Reload();

private:
    friend void Detach();
    // The kind of the line's transport.
    std::string kind_;
    // The last device name, and whether it names a network line.
    std::string kindOf_;
    bool kindKnown_ = false;
    bool kindNetwork_ = false;
    std::string kindName_;
};

ModuleState& Module();

// Load and unload steps (the platform's module notifications call them
// through ModuleAttach and ModuleDetach).  With TALVO_DEFER_PORT=1 in the
// environment the load does not open the port: the first command of the 43
// exports does (for hosts that use only the line API).
int Attach();
void Detach();

// What the 43 exports show of a frame, built in bounded buffers (300 and
// 800 bytes with the terminator); a frame too long for them is cut at a
// whole byte and marked.
std::string SendDiagnostic(const unsigned char* bytes, std::uint32_t count, std::size_t prefixBytes);
std::string ReceiveDiagnostic(const unsigned char* bytes, std::uint32_t count);

// Holds the module-wide lock for the lifetime of the object: every export
// that uses the port runs under it, so two host threads cannot interleave
// their frames on the line.
class PortLock {
public:
    PortLock();
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

}  // namespace talvo

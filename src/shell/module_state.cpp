#include "shell/module_state.h"

#include <memory>
#include <new>

#include "net/device_url.h"
#include "net/net_transport.h"
#include "platform/platform.h"
#include "serial/messages.h"
#include "serial/trace.h"

namespace talvo {

ModuleState::ModuleState() : line(std::make_unique<SerialPort>(), true) { line.observer = &frames; }

void ModuleState::Reload() {
    settings.Reload();
    // The kind of line is read from the name once per name, not per command.
    if (!kindKnown_ || settings.ComName != kindOf_) {
        kindOf_ = settings.ComName;
        kindNetwork_ = UsesNetwork(kindOf_);
        kindKnown_ = true;
    }
    const bool network = kindNetwork_;
    if (!line.HasTransport() || network != network_) {
        if (network) {
            line.SetTransport(std::make_unique<NetTransport>());
        } else {
            line.SetTransport(std::make_unique<SerialPort>());
        }
        network_ = network;
    }
    if (network) {
        auto& net = static_cast<NetTransport&>(line.transport());
        net.connectMs = settings.ConnectTime;
        settings.ApplyTo(line.timing, net.params, true);
    } else {
        settings.ApplyTo(line.timing, static_cast<SerialPort&>(line.transport()).params, false);
    }
}

ModuleState& Module() {
    // Built in static storage on first use and never destroyed: the unload
    // step still needs it after the library's static objects may have gone,
    // and nothing is left on the heap when the library is unloaded.
    alignas(ModuleState) static unsigned char storage[sizeof(ModuleState)];
    static ModuleState* const state = new (storage) ModuleState();
    return *state;
}

void LegacyFrames::FrameSent(const unsigned char* bytes, std::uint32_t count, int terminal, int command) {
    if (displaySend != 0) platform::message::ShowPlain(text::kSendPrefix, SendDiagnostic(bytes, count, 3));
    trace::Frame(traceTarget_, trace::Direction::kSent, bytes, count, terminal, command);
}

void LegacyFrames::ReplyCollected(const unsigned char* bytes, std::uint32_t count, int terminal, int command) {
    if (displayRecp != 0) {
        platform::message::ShowPlain(platform::message::Text{"", ""}, ReceiveDiagnostic(bytes, count));
    }
    trace::Frame(traceTarget_, trace::Direction::kReceived, bytes, count, terminal, command);
}

int Attach() {
    ModuleState& module = Module();
    module.frames.displayRecp = 0;
    module.frames.displaySend = 0;
    // The frame trace is configured once, when the library loads: a lookup
    // scans the whole environment, a microsecond a command under Wine.
    module.frames.SetTraceTarget(platform::env::Get("TALVO_TRACE"));
    // A host that uses lines only: no settings file is read or made, and no
    // port opened, until a command of the 43 exports asks for it.
    if (platform::env::Get("TALVO_DEFER_PORT") == "1") return 1;
    module.Reload();
    return module.line.OpenPort(false);
}

// The module state is never destroyed, but what it holds on the heap is
// given back: after an unload nothing of the library may be left behind.
void Detach() {
    ModuleState& module = Module();
    module.line.Release();
    module.frames.Release();
    PortSettings& s = module.settings;
    std::string().swap(s.ComName);
    std::string().swap(s.StatStr);
    std::string().swap(s.IniPath);
    std::string().swap(module.kindOf_);
    module.kindKnown_ = false;
    platform::profile::ReleaseStamps();
}

PortLock::PortLock() { platform::lock::Acquire(); }
PortLock::~PortLock() { platform::lock::Release(); }

}  // namespace talvo

#include "shell/module_state.h"

#include <memory>
#include <new>

#include <cstdio>
#include <cstring>

#include "platform/module_entry.h"
#include "platform/platform.h"
#include "protocol/trace.h"
#include "transports/transport_factory.h"

namespace talvo {

namespace {
// 发:, in UTF-8 and in GBK.
constexpr platform::message::Text kSendPrefix = {"\345\217\221:", "\267\242:"};
}  // namespace

// The defaults' serial port until the settings are read.
ModuleState::ModuleState() : line(MakeTransport("COM2"), true) { line.observer = &frames; }

void ModuleState::Reload() {
    settings.Reload();
    // The kind of line is read from the name once per name, not per command.
    if (!kindKnown_ || settings.ComName != kindOf_) {
        kindOf_ = settings.ComName;
        kindName_ = TransportKind(kindOf_);
        kindNetwork_ = UsesNetwork(kindOf_);
        kindKnown_ = true;
    }
    if (!line.HasTransport() || kindName_ != kind_) {
        line.SetTransport(MakeTransport(kindOf_));
        kind_ = kindName_;
    }
    settings.ApplyTo(line.timing, line.transport().params, kindNetwork_);
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
    if (displaySend != 0) platform::message::ShowPlain(kSendPrefix, SendDiagnostic(bytes, count, 3));
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
    std::string().swap(module.kindName_);
    std::string().swap(module.kind_);
    module.kindKnown_ = false;
    platform::profile::ReleaseStamps();
}

bool ModuleAttach() {
    if (Attach() != 0) return true;
    // A library that stays loaded (a shared object cannot refuse to load)
    // reads -1 from GetError until the port opens.
    Module().line.lastError = -1;
    return false;
}

void ModuleDetach() { Detach(); }

PortLock::PortLock() { platform::lock::Acquire(); }
PortLock::~PortLock() { platform::lock::Release(); }

namespace {
// Appends items while they fit in `limit` bytes (terminator included), then
// marks the cut with "..." where room is left for it.
std::string Bounded(const char* head, const unsigned char* bytes, std::uint32_t count, const char* itemFormat,
                    std::size_t limit) {
    std::string out(head);
    char item[8];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, itemFormat, static_cast<unsigned>(bytes[i]));
        if (out.size() + std::strlen(item) + 1 > limit) {
            while (out.size() + 3 + 1 > limit && !out.empty()) out.pop_back();
            out += "...";
            break;
        }
        out += item;
    }
    return out;
}
}  // namespace

std::string SendDiagnostic(const unsigned char* bytes, std::uint32_t count, std::size_t prefixBytes) {
    return Bounded("", bytes, count, ", %X", 300 - prefixBytes);
}

std::string ReceiveDiagnostic(const unsigned char* bytes, std::uint32_t count) {
    char head[32];
    std::snprintf(head, sizeof head, "Len=%d,Recp:", static_cast<int>(count));
    return Bounded(head, bytes, count, "-%X", 800);
}


}  // namespace talvo

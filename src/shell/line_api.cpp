// The line API: lines as handles over the same core as the 43 exports, with
// explicit options, results as codes, money in cents and dates as fields.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "shell/line_face.h"
#include "transports/transport_factory.h"

// The library defines the function the header's macro stands for.
#undef talvo_line_options_init

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

namespace talvo::lineapi {
Registry& Lines() {
    static Registry registry;
    return registry;
}
}  // namespace talvo::lineapi

namespace {

// The size of the options as version 1.1 knew them (up to out_queue).
constexpr std::uint32_t kOptionsSize11 = offsetof(talvo_line_options, check_terminal);

// Why the last talvo_line_open of each thread failed to open its device.
// Kept with the library, not in thread-local storage: a thread-local object
// with a destructor would pin the library in memory until the thread ends,
// and a host that unloads it expects it gone.  The few most recent threads
// are remembered.
class OpenFailures {
public:
    void Set(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::thread::id self = std::this_thread::get_id();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == self) {
                entries_.erase(it);
                break;
            }
        }
        if (text.empty()) return;
        if (entries_.size() >= kKept) entries_.pop_front();
        entries_.emplace_back(self, std::move(text));
    }
    std::string Get() {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::thread::id self = std::this_thread::get_id();
        for (const auto& entry : entries_) {
            if (entry.first == self) return entry.second;
        }
        return std::string();
    }

private:
    static constexpr std::size_t kKept = 64;
    std::mutex mutex_;
    std::deque<std::pair<std::thread::id, std::string>> entries_;
};

OpenFailures& LastOpenFailures() {
    static OpenFailures failures;
    return failures;
}

void CopyText(const std::string& from, char* to, std::size_t size) {
    const std::size_t n = from.size() < size - 1 ? from.size() : size - 1;
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

}  // namespace

extern "C" {

// ---- Errors and version -------------------------------------------------------

TALVO_API const char* TALVO_CALL talvo_strerror(int code) {
    switch (code) {
        case TALVO_OK: return "success";
        case TALVO_E_PORT: return "the port is not open, or nothing of the request could be written";
        case TALVO_E_BAD_REPLY: return "the request was written only in part, or no valid reply frame came";
        case TALVO_E_NO_REPLY: return "the terminal did not answer within the time limits";
        case TALVO_E_NOT_RUN: return "no exchange was run";
        case TALVO_E_REPLY_CHECK: return "the reply frame does not fit the command";
        case TALVO_E_REFUSED: return "the terminal refused the command";
        case TALVO_E_SHORT_REPLY: return "the terminal's reply lacks the data asked for";
        case TALVO_E_INVALID: return "an argument is out of range or missing; nothing was sent";
        case TALVO_E_BUFFER: return "the output buffer is too small for the reply";
        case TALVO_E_CLOSED: return "the handle is null or closed";
        case TALVO_E_NO_MEMORY: return "out of memory";
        case TALVO_E_NO_DEVICE: return "the serial device does not exist";
        case TALVO_E_BUSY: return "the serial device is in use by another program";
        case TALVO_E_ACCESS: return "no permission to open the serial device";
        case TALVO_E_LINE_FORMAT: return "the baud rate or line format is not accepted by the device";
        case TALVO_E_OPEN: return "the serial device cannot be opened";
        case TALVO_E_STORE: return "the record store cannot be used (not a store, damaged, in use or not writable)";
        case TALVO_E_BATCH: return "not the batch last fetched from this terminal";
        case TALVO_E_UNCONFIRMED: return "the terminal did not confirm the batch; fetch again";
        case TALVO_E_INTERNAL: return "internal error";
        case TALVO_E_URL: return "the device URL is malformed (expected tcp://host:port or rfc2217://host:port)";
        case TALVO_E_SCHEME: return "the device URL has an unknown scheme (tcp:// and rfc2217:// are known)";
        case TALVO_E_URL_PORT: return "the device URL's port is out of range (1-65535)";
        case TALVO_E_RESOLVE: return "the device server's host name does not resolve";
        case TALVO_E_CONNECT: return "the device server refused the connection or did not answer in time";
        case TALVO_E_NEGOTIATE: return "the device server did not complete the COM port control negotiation";
        default: return "unknown error";
    }
}

TALVO_API const char* TALVO_CALL talvo_version(void) { return "1.2.0"; }

TALVO_API int TALVO_CALL talvo_version_number(void) { return TALVO_VERSION_NUMBER; }

// ---- Lines ----------------------------------------------------------------------

namespace {
// Every field of the current structure at its default.
void Defaults(talvo_line_options* options) {
    if (options == nullptr) return;
    const LineTiming timing;
    const LineParams serial;
    options->size = sizeof(talvo_line_options);
    options->device = "COM2";
    options->baud = serial.baud;
    options->line_format = "parity=N data=8 stop=1";
    options->echo_time_ms = timing.echoTime;
    options->wait_time_ms = timing.waitTime;
    options->tries = timing.tries;
    options->filler_bytes = timing.filler;
    options->in_queue = serial.inQueue;
    options->out_queue = serial.outQueue;
    options->check_terminal = timing.checkTerminal ? 1u : 0u;
    options->net_allowance_ms = TALVO_NET_ALLOWANCE_DEFAULT;
    options->connect_time_ms = kDefaultConnectTime;
}
}  // namespace

// The exported function keeps the promise made to hosts built against 1.1:
// it writes the 1.1 structure and no byte beyond it.  Hosts built against a
// later header reach talvo_line_options_init_size through the header's macro.
TALVO_API void TALVO_CALL talvo_line_options_init(talvo_line_options* options) {
    talvo_line_options_init_size(options, kOptionsSize11);
}

TALVO_API void TALVO_CALL talvo_line_options_init_size(talvo_line_options* options, std::size_t size) {
    if (options == nullptr || size < sizeof options->size) return;
    talvo_line_options full;
    Defaults(&full);
    const std::size_t n = size < sizeof full ? size : sizeof full;
    full.size = static_cast<std::uint32_t>(n);
    std::memcpy(options, &full, n);
}

TALVO_API int TALVO_CALL talvo_line_open(const talvo_line_options* options, talvo_line** line) {
    if (line == nullptr) return TALVO_E_INVALID;
    *line = nullptr;
    // Hosts built against an older header pass a smaller structure: the
    // fields it lacks keep their defaults.
    if (options == nullptr || options->size < kOptionsSize11 || options->size > sizeof(talvo_line_options) ||
        options->device == nullptr || options->line_format == nullptr) {
        return TALVO_E_INVALID;
    }
    talvo_line_options o;
    Defaults(&o);
    std::memcpy(&o, options, options->size);
    options = &o;
    const std::size_t deviceLength = ::strnlen(options->device, kMaxPath + 1);
    const std::size_t formatLength = ::strnlen(options->line_format, 256);
    if (deviceLength == 0 || deviceLength > kMaxPath || formatLength >= 256 || options->baud == 0 || options->tries < 1 ||
        options->tries > 10 || options->filler_bytes > 30 || options->echo_time_ms > 600000 ||
        options->wait_time_ms > 600000 || options->check_terminal > 1 ||
        (options->net_allowance_ms > 600000 && options->net_allowance_ms != TALVO_NET_ALLOWANCE_DEFAULT) ||
        options->connect_time_ms < 1 || options->connect_time_ms > 600000) {
        return TALVO_E_INVALID;
    }
    try {
        const std::string device(options->device, deviceLength);
        std::string why;
        const std::int32_t problem = CheckDevice(device, why);
        if (problem != 0) {
            LastOpenFailures().Set(why);
            return problem;
        }
        const bool network = UsesNetwork(device);
        auto entry = std::make_shared<ApiLine>(MakeTransport(device));
        Transport& transport = entry->line.transport();
        LineParams& params = transport.params;
        params.format.assign(options->line_format, formatLength);
        params.baud = options->baud;
        params.inQueue = options->in_queue;
        params.outQueue = options->out_queue;
        params.purgeEveryExchange = false;
        params.connectMs = options->connect_time_ms;
        LineTiming& t = entry->line.timing;
        t.baud = options->baud;
        t.echoTime = options->echo_time_ms;
        t.waitTime = options->wait_time_ms;
        t.tries = options->tries;
        t.filler = options->filler_bytes;
        t.checkTerminal = options->check_terminal != 0;
        t.netAllowance = options->net_allowance_ms != TALVO_NET_ALLOWANCE_DEFAULT ? options->net_allowance_ms
                         : network                                             ? kDefaultNetAllowance
                                                                               : 0;
        if (entry->line.OpenPort(true) == 0) {
            LastOpenFailures().Set(transport.failureText);
            return transport.lastFailure != 0 ? transport.lastFailure : TALVO_E_OPEN;
        }
        LastOpenFailures().Set(std::string());
        *line = reinterpret_cast<talvo_line*>(Lines().Add(std::move(entry)));
        return 0;
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_line_close(talvo_line* line) {
    try {
        std::shared_ptr<ApiLine> entry = Lines().Remove(line);
        if (!entry) return TALVO_E_CLOSED;
        // Waits for a call in progress; calls that found the handle before
        // it went see it closed.
        std::lock_guard<std::mutex> lock(entry->line.mutex);
        entry->closed = true;
        entry->line.transport().Close();
        return 0;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_line_last_error(talvo_line* line) {
    std::shared_ptr<ApiLine> entry = Lines().Find(line);
    if (!entry) return TALVO_E_CLOSED;
    return entry->line.lastError;
}

TALVO_API int TALVO_CALL talvo_line_error_text(talvo_line* line, char* text, std::size_t size) {
    if (text == nullptr || size == 0) return TALVO_E_INVALID;
    if (line == nullptr) {
        CopyText(LastOpenFailures().Get(), text, size);
        return 0;
    }
    std::shared_ptr<ApiLine> entry = Lines().Find(line);
    if (!entry) return TALVO_E_CLOSED;
    std::lock_guard<std::mutex> lock(entry->line.mutex);
    if (entry->closed) return TALVO_E_CLOSED;
    CopyText(entry->line.transport().failureText, text, size);
    return 0;
}

TALVO_API int TALVO_CALL talvo_device_check(const char* device, int* network, char* why, std::size_t size) {
    try {
        if (network != nullptr) *network = 0;
        if (why != nullptr && size > 0) why[0] = '\0';
        if (device == nullptr) return TALVO_E_INVALID;
        std::string reason;
        const std::int32_t problem = CheckDevice(device, reason);
        if (network != nullptr) *network = UsesNetwork(device) ? 1 : 0;
        if (why != nullptr && size > 0) CopyText(reason, why, size);
        return problem;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_line_set_trace(talvo_line* line, talvo_trace_fn fn, void* user) {
    return OnLine(line, [&](Line& l) {
        l.traceFn = fn;
        l.traceUser = user;
        return 0;
    });
}

}  // extern "C"

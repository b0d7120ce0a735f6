// The line API: lines as handles over the same core as the 43 exports, with
// explicit options, results as codes, money in cents and dates as fields.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "serial/serial_port.h"
#include "shell/line_face.h"

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

constexpr std::size_t kMaxSubsidyTime = 1024;

// The size of the options as version 1.1 knew them (up to out_queue).
constexpr std::uint32_t kOptionsSize11 = offsetof(talvo_line_options, check_terminal);

// Why this thread's last talvo_line_open failed to open its device.
std::string& OpenFailureText() {
    thread_local std::string text;
    return text;
}

void CopyText(const std::string& from, char* to, std::size_t size) {
    const std::size_t n = from.size() < size - 1 ? from.size() : size - 1;
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

// Exactly six hex digits, upper-cased into `key`.
bool KeyDigits(const char* text, unsigned char* key) {
    if (text == nullptr || ::strnlen(text, kKeyLength + 1) != kKeyLength) return false;
    for (std::size_t i = 0; i < kKeyLength; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 32);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        key[i] = static_cast<unsigned char>(c);
    }
    return true;
}

template <std::uint8_t Code>
int SendKeyOnLine(talvo_line* line, int terminal, const char* text) {
    unsigned char key[kKeyLength];
    if (!KeyDigits(text, key)) return TALVO_E_INVALID;
    return StatusOnly<Code>(line, terminal, {0, 0, 1, key, kKeyLength});
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
        default: return "unknown error";
    }
}

TALVO_API const char* TALVO_CALL talvo_version(void) { return "1.1.0"; }

TALVO_API int TALVO_CALL talvo_version_number(void) { return TALVO_VERSION_NUMBER; }

// ---- Lines ----------------------------------------------------------------------

TALVO_API void TALVO_CALL talvo_line_options_init(talvo_line_options* options) {
    if (options == nullptr) return;
    const LineTiming timing;
    const SerialParams serial;
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
    talvo_line_options_init(&o);
    std::memcpy(&o, options, options->size);
    options = &o;
    const std::size_t deviceLength = ::strnlen(options->device, kMaxPath + 1);
    const std::size_t formatLength = ::strnlen(options->line_format, 256);
    if (deviceLength == 0 || deviceLength > kMaxPath || formatLength >= 256 || options->baud == 0 || options->tries < 1 ||
        options->tries > 10 || options->filler_bytes > 30 || options->echo_time_ms > 600000 ||
        options->wait_time_ms > 600000 || options->check_terminal > 1) {
        return TALVO_E_INVALID;
    }
    try {
        auto port = std::make_unique<SerialPort>();
        SerialPort& serial = *port;
        serial.params.device.assign(options->device, deviceLength);
        serial.params.format.assign(options->line_format, formatLength);
        serial.params.baud = options->baud;
        serial.params.inQueue = options->in_queue;
        serial.params.outQueue = options->out_queue;
        auto entry = std::make_shared<ApiLine>(std::move(port));
        LineTiming& t = entry->line.timing;
        t.baud = options->baud;
        t.echoTime = options->echo_time_ms;
        t.waitTime = options->wait_time_ms;
        t.tries = options->tries;
        t.filler = options->filler_bytes;
        t.checkTerminal = options->check_terminal != 0;
        OpenFailureText().clear();
        if (entry->line.OpenPort(true) == 0) {
            OpenFailureText() = serial.failureText;
            switch (serial.lastFailure) {
                case OpenFailure::kNoDevice: return TALVO_E_NO_DEVICE;
                case OpenFailure::kBusy: return TALVO_E_BUSY;
                case OpenFailure::kAccess: return TALVO_E_ACCESS;
                case OpenFailure::kLineFormat: return TALVO_E_LINE_FORMAT;
                default: return TALVO_E_OPEN;
            }
        }
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
        CopyText(OpenFailureText(), text, size);
        return 0;
    }
    std::shared_ptr<ApiLine> entry = Lines().Find(line);
    if (!entry) return TALVO_E_CLOSED;
    std::lock_guard<std::mutex> lock(entry->line.mutex);
    if (entry->closed) return TALVO_E_CLOSED;
    CopyText(entry->line.transport().failureText, text, size);
    return 0;
}

TALVO_API int TALVO_CALL talvo_line_set_trace(talvo_line* line, talvo_trace_fn fn, void* user) {
    return OnLine(line, [&](Line& l) {
        l.traceFn = fn;
        l.traceUser = user;
        return 0;
    });
}

// ---- Status and parameters ---------------------------------------------------------

TALVO_API int TALVO_CALL talvo_status(talvo_line* line, int terminal) {
    return StatusOnly<kInqStat>(line, terminal, {0, 0, 0});
}

TALVO_API int TALVO_CALL talvo_clear_memory(talvo_line* line, int terminal) {
    return StatusOnly<kClearRam>(line, terminal, {0, 0, 101});
}

TALVO_API int TALVO_CALL talvo_cmw_read(talvo_line* line, int terminal, char* text, std::size_t size) {
    if (text == nullptr) return TALVO_E_INVALID;
    if (size < kCmwLength + 1) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadCmw> command(l);
        command.Transact(terminal, 0, 0, 6);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < kCmwLength) return TALVO_E_SHORT_REPLY;
        std::memcpy(text, command.ReplyPayload(), kCmwLength);
        text[kCmwLength] = '\0';
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_cmw_set(talvo_line* line, int terminal, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, kCmwLength + 1) : 0;
    if (n == 0 || n > kCmwLength) return TALVO_E_INVALID;
    unsigned char payload[kCmwLength];
    std::memset(payload, '0', sizeof payload);
    std::memcpy(payload, text, n);
    return StatusOnly<kSetCmw>(line, terminal, {0, 0, 6, payload, kCmwLength});
}

TALVO_API int TALVO_CALL talvo_mdeb_read(talvo_line* line, int terminal, std::int32_t* cents) {
    if (cents == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadMdeb> command(l);
        command.Transact(terminal, 0, 0, 3);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < kAmountLength) return TALVO_E_SHORT_REPLY;
        *cents = DecodeCents(command.ReplyPayload(), 0);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_mdeb_set(talvo_line* line, int terminal, std::int32_t cents) {
    return SendAmount<kSetMdeb>(line, terminal, 1, cents);
}

// ---- Card key ------------------------------------------------------------------------


TALVO_API int TALVO_CALL talvo_key_check(talvo_line* line, int terminal, const char* key) {
    return SendKeyOnLine<kCheckKey>(line, terminal, key);
}

TALVO_API int TALVO_CALL talvo_key_set(talvo_line* line, int terminal, const char* key) {
    return SendKeyOnLine<kSetKey>(line, terminal, key);
}

TALVO_API int TALVO_CALL talvo_key_flags(talvo_line* line, int terminal, std::int32_t* flags, std::size_t count) {
    if (flags == nullptr) return TALVO_E_INVALID;
    if (count < 4) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kInqKey> command(l);
        command.Transact(terminal, 0, 0, 16);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < 8) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = command.ReplyPayload();
        for (int k = 0; k < 4; ++k) flags[k] = p[2 * k] == '6' && p[2 * k + 1] == '6' ? 1 : 0;
        return 0;
    });
}

// ---- Blacklist ---------------------------------------------------------------------------

TALVO_API int TALVO_CALL talvo_blacklist_add(talvo_line* line, int terminal, const char* cards, std::size_t count) {
    if (cards == nullptr || count == 0 || count > 255 || !NoZeroByte(cards, kCardLength * count)) {
        return TALVO_E_INVALID;
    }
    return StatusOnly<kAddHmd>(line, terminal, {0, 0, static_cast<std::int32_t>(count), cards, kCardLength * count});
}

TALVO_API int TALVO_CALL talvo_blacklist_remove(talvo_line* line, int terminal, const char* card) {
    if (card == nullptr || ::strnlen(card, kCardLength + 1) != kCardLength) return TALVO_E_INVALID;
    return StatusOnly<kReduHmd>(line, terminal, {0, 0, 1, card, kCardLength});
}

TALVO_API int TALVO_CALL talvo_blacklist_set(talvo_line* line, int terminal, unsigned position, const char* cards,
                                             std::size_t count) {
    if (position > 0xFFFF || count > 255 || (cards == nullptr && count > 0) ||
        (count > 0 && !NoZeroByte(cards, kCardLength * count))) {
        return TALVO_E_INVALID;
    }
    return StatusOnly<kSetHmd>(line, terminal, {static_cast<std::int32_t>(position >> 8),
                            static_cast<std::int32_t>(position & 0xFF), static_cast<std::int32_t>(count), cards,
                            kCardLength * count});
}

TALVO_API int TALVO_CALL talvo_blacklist_clear(talvo_line* line, int terminal) {
    return StatusOnly<kClearHmd>(line, terminal, {0, 0, 101});
}

TALVO_API int TALVO_CALL talvo_blacklist_read(talvo_line* line, int terminal, unsigned position, char* cards,
                                              std::size_t capacity, std::size_t* count) {
    if (count == nullptr || (cards == nullptr && capacity > 0) || position > 0xFFFF) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadHmd> command(l);
        command.Transact(terminal, static_cast<std::int32_t>(position >> 8), static_cast<std::int32_t>(position & 0xFF),
                         kReadHmdLimit);
        if (const int r = command.Outcome(); r != 0) return r;
        std::size_t n = command.ReplyCount();
        const std::size_t present = command.ReplyPayloadLength() / kCardLength;
        if (n > present) n = present;
        if (n > static_cast<std::size_t>(kReadHmdLimit)) n = kReadHmdLimit;
        *count = n;
        if (n > capacity) return TALVO_E_BUFFER;
        if (n > 0) std::memcpy(cards, command.ReplyPayload(), kCardLength * n);
        return 0;
    });
}

// ---- Price menu ---------------------------------------------------------------------------

TALVO_API int TALVO_CALL talvo_menu_set(talvo_line* line, int terminal, const std::int32_t* cents, std::size_t count) {
    if (count > 255 || (cents == nullptr && count > 0)) return TALVO_E_INVALID;
    for (std::size_t i = 0; i < count; ++i) {
        if (!ValidCents(cents[i])) return TALVO_E_INVALID;
    }
    unsigned char payload[kAmountLength * 255];
    for (std::size_t i = 0; i < count; ++i) {
        EncodeCents(payload, static_cast<std::uint32_t>(kAmountLength * i), cents[i]);
    }
    return StatusOnly<kSetMenu>(line, terminal, {0, 0, static_cast<std::int32_t>(count), payload,
                            kAmountLength * count});
}

TALVO_API int TALVO_CALL talvo_menu_read(talvo_line* line, int terminal, std::int32_t* cents, std::size_t capacity,
                                         std::size_t* count) {
    if (count == nullptr || (cents == nullptr && capacity > 0)) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadMenu> command(l);
        command.Transact(terminal, 0, 0, 16);
        if (const int r = command.Outcome(); r != 0) return r;
        std::size_t n = command.ReplyCount();
        const std::size_t present = command.ReplyPayloadLength() / kAmountLength;
        if (n > present) n = present;
        *count = n;
        if (n > capacity) return TALVO_E_BUFFER;
        for (std::size_t i = 0; i < n; ++i) {
            cents[i] = DecodeCents(command.ReplyPayload(), static_cast<std::uint32_t>(kAmountLength * i));
        }
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_menu_clear(talvo_line* line, int terminal) {
    return StatusOnly<kClearMenu>(line, terminal, {0, 0, 101});
}

// ---- Subsidy ---------------------------------------------------------------------------------

TALVO_API int TALVO_CALL talvo_subsidy_clear(talvo_line* line, int terminal) {
    return StatusOnly<kClearList>(line, terminal, {0, 0, 0});
}

TALVO_API int TALVO_CALL talvo_subsidy_set_max(talvo_line* line, int terminal, std::int32_t cents) {
    return SendAmount<kSetMaxbt>(line, terminal, 0, cents);
}

TALVO_API int TALVO_CALL talvo_subsidy_set_time(talvo_line* line, int terminal, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, kMaxSubsidyTime + 1) : 0;
    if (text == nullptr || n > kMaxSubsidyTime) return TALVO_E_INVALID;
    return StatusOnly<kSetBtTime>(line, terminal, {0, 0, 0, text, n});
}

TALVO_API int TALVO_CALL talvo_subsidy_add(talvo_line* line, int terminal, unsigned position, const char* entries,
                                           std::size_t count) {
    if (position > 0xFFFF || entries == nullptr || count == 0 || count > 255 ||
        !NoZeroByte(entries, kSubsidyEntry * count)) {
        return TALVO_E_INVALID;
    }
    return StatusOnly<kAddBtList>(line, terminal, {static_cast<std::int32_t>(position >> 8),
                            static_cast<std::int32_t>(position & 0xFF), static_cast<std::int32_t>(count), entries,
                            kSubsidyEntry * count});
}

// ---- Clock, zones, lock ---------------------------------------------------------------------

TALVO_API int TALVO_CALL talvo_clock_read(talvo_line* line, int terminal, talvo_datetime* out) {
    if (out == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadClock> command(l);
        command.Transact(terminal, 0, 0, 0);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < 10) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = command.ReplyPayload();
        const talvo_datetime t{2000 + Digits(p, 2), Digits(p + 2, 2), Digits(p + 4, 2), Digits(p + 6, 2),
                               Digits(p + 8, 2), 0};
        if (Digits(p, 2) < 0 || t.month < 0 || t.day < 0 || t.hour < 0 || t.minute < 0) return TALVO_E_SHORT_REPLY;
        *out = t;
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_clock_set(talvo_line* line, int terminal, const talvo_datetime* when) {
    if (when == nullptr || !ValidDateTime(*when, 2000, 2099)) return TALVO_E_INVALID;
    unsigned char payload[10];
    PutDigits(payload, when->year % 100, 2);
    PutDigits(payload + 2, when->month, 2);
    PutDigits(payload + 4, when->day, 2);
    PutDigits(payload + 6, when->hour, 2);
    PutDigits(payload + 8, when->minute, 2);
    return StatusOnly<kSetClock>(line, terminal, {0, 0, 6, payload, sizeof payload});
}

TALVO_API int TALVO_CALL talvo_zones_read(talvo_line* line, int terminal, talvo_time_of_day* zones, std::size_t count) {
    if (zones == nullptr) return TALVO_E_INVALID;
    if (count < TALVO_ZONES) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadZones> command(l);
        command.Transact(terminal, 0, 0, 8);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < 4 * TALVO_ZONES) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = command.ReplyPayload();
        talvo_time_of_day read[TALVO_ZONES];
        for (int k = 0; k < TALVO_ZONES; ++k) {
            read[k] = talvo_time_of_day{Digits(p + 4 * k, 2), Digits(p + 4 * k + 2, 2)};
            if (read[k].hour < 0 || read[k].minute < 0) return TALVO_E_SHORT_REPLY;
        }
        std::memcpy(zones, read, sizeof read);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_zones_set(talvo_line* line, int terminal, const talvo_time_of_day* zones,
                                         std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    for (std::size_t k = 0; k < TALVO_ZONES; ++k) {
        if (!ValidTime(zones[k])) return TALVO_E_INVALID;
    }
    unsigned char payload[4 * TALVO_ZONES];
    for (int k = 0; k < TALVO_ZONES; ++k) {
        PutDigits(payload + 4 * k, zones[k].hour, 2);
        PutDigits(payload + 4 * k + 2, zones[k].minute, 2);
    }
    return StatusOnly<kSetZones>(line, terminal, {0, 0, 8, payload, sizeof payload});
}

TALVO_API int TALVO_CALL talvo_lock(talvo_line* line, int terminal) {
    return StatusOnly<kBlock>(line, terminal, {0, 0, 0});
}

TALVO_API int TALVO_CALL talvo_unlock(talvo_line* line, int terminal) {
    return StatusOnly<kUnblock>(line, terminal, {0, 0, 0});
}

// ---- Attendance --------------------------------------------------------------------------------

TALVO_API int TALVO_CALL talvo_attend_zones_read(talvo_line* line, int terminal, talvo_attend_zone* zones,
                                                 std::size_t count) {
    if (zones == nullptr) return TALVO_E_INVALID;
    if (count < TALVO_ZONES) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadZones> command(l);
        command.Transact(terminal, 0, 0, 8);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < 10 * TALVO_ZONES) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = command.ReplyPayload();
        talvo_attend_zone read[TALVO_ZONES];
        for (int k = 0; k < TALVO_ZONES; ++k) {
            const unsigned char* c = p + 10 * k;
            read[k] = talvo_attend_zone{{Digits(c, 2), Digits(c + 2, 2)}, {Digits(c + 4, 2), Digits(c + 6, 2)},
                                        {static_cast<char>(c[8]), static_cast<char>(c[9]), '\0', '\0'}};
            if (read[k].start.hour < 0 || read[k].start.minute < 0 || read[k].end.hour < 0 || read[k].end.minute < 0) {
                return TALVO_E_SHORT_REPLY;
            }
        }
        std::memcpy(zones, read, sizeof read);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_attend_zones_set(talvo_line* line, int terminal, const talvo_attend_zone* zones,
                                                std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    for (std::size_t k = 0; k < TALVO_ZONES; ++k) {
        if (!ValidTime(zones[k].start) || !ValidTime(zones[k].end) ||
            ::strnlen(zones[k].code, sizeof zones[k].code) != 2) {
            return TALVO_E_INVALID;
        }
    }
    unsigned char payload[10 * TALVO_ZONES];
    for (int k = 0; k < TALVO_ZONES; ++k) {
        unsigned char* c = payload + 10 * k;
        PutDigits(c, zones[k].start.hour, 2);
        PutDigits(c + 2, zones[k].start.minute, 2);
        PutDigits(c + 4, zones[k].end.hour, 2);
        PutDigits(c + 6, zones[k].end.minute, 2);
        c[8] = static_cast<unsigned char>(zones[k].code[0]);
        c[9] = static_cast<unsigned char>(zones[k].code[1]);
    }
    return StatusOnly<kSetZones>(line, terminal, {0, 0, 8, payload, sizeof payload});
}

TALVO_API int TALVO_CALL talvo_attend_reason_set(talvo_line* line, int terminal, int number, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, 9) : 0;
    if (text == nullptr || n > 8 || number < 0 || number > 255) return TALVO_E_INVALID;
    // A shorter reason ends with 0x0F, as the terminal reads it back.
    unsigned char bytes[8];
    std::memset(bytes, 0x0F, sizeof bytes);
    std::memcpy(bytes, text, n);
    unsigned char payload[16];
    for (std::uint32_t i = 0; i < 8; ++i) PutHexPair(payload, 2 * i, bytes[i]);
    return StatusOnly<kSetZones>(line, terminal, {0, 0, number, payload, sizeof payload});
}

TALVO_API int TALVO_CALL talvo_attend_reason_read(talvo_line* line, int terminal, int number, char* text,
                                                  std::size_t size) {
    if (text == nullptr || number < 0 || number > 255) return TALVO_E_INVALID;
    if (size < 9) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadZones> command(l);
        // The terminal takes its time with reasons.
        if (command.waitTime < kReasonWait) command.waitTime = kReasonWait;
        command.Transact(terminal, 0, 0, number);
        if (const int r = command.Outcome(); r != 0) return r;
        char decoded[9];
        const std::size_t n = DecodeReason(command.ReplyPayload(), command.ReplyPayloadLength(), decoded);
        std::memcpy(text, decoded, n);
        text[n] = '\0';
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_attend_clock_read(talvo_line* line, int terminal, talvo_datetime* out) {
    if (out == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Command<kReadClock> command(l);
        command.Transact(terminal, 0, 0, 0);
        if (const int r = command.Outcome(); r != 0) return r;
        if (command.ReplyPayloadLength() < 14) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = command.ReplyPayload();
        const talvo_datetime t{Digits(p, 4), Digits(p + 4, 2), Digits(p + 6, 2),
                               Digits(p + 8, 2), Digits(p + 10, 2), Digits(p + 12, 2)};
        if (t.year < 0 || t.month < 0 || t.day < 0 || t.hour < 0 || t.minute < 0 || t.second < 0) {
            return TALVO_E_SHORT_REPLY;
        }
        *out = t;
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_attend_clock_set(talvo_line* line, int terminal, const talvo_datetime* when) {
    if (when == nullptr || !ValidDateTime(*when, 1000, 9999)) return TALVO_E_INVALID;
    unsigned char payload[14];
    PutDigits(payload, when->year, 4);
    PutDigits(payload + 4, when->month, 2);
    PutDigits(payload + 6, when->day, 2);
    PutDigits(payload + 8, when->hour, 2);
    PutDigits(payload + 10, when->minute, 2);
    PutDigits(payload + 12, when->second, 2);
    return StatusOnly<kSetClock>(line, terminal, {0, 0, 1, payload, sizeof payload});
}


}  // extern "C"

#include "line_session.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "library.h"
#include "store_file.h"

namespace talvo::cli {
namespace {

// --trace: every frame on standard error, as TALVO_TRACE shows them.
void TALVO_CALL TraceFrame(void*, int direction, std::int64_t time_ms, int terminal, int command,
                           const unsigned char* bytes, std::size_t length) {
    const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
    const std::tm lt = LocalTime(seconds);
    std::string hex;
    std::string text;
    char item[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(item, sizeof item, "%02X", static_cast<unsigned>(bytes[i]));
        if (i > 0) hex += ' ';
        hex += item;
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    std::fprintf(stderr, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s terminal=%d command=%02X len=%zu | %s | %s\n",
                 lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                 static_cast<int>(time_ms % 1000), direction == 0 ? "send" : "recv", terminal, command & 0xFF, length,
                 hex.c_str(), text.c_str());
    std::fflush(stderr);
}

const char* RawReason(std::int32_t status) {
    return status == TALVO_RAW_DAMAGED ? "damaged: its check pair does not match" : "a card number never stored";
}

}  // namespace

LineSession::~LineSession() {
    if (line_ != nullptr && lib_.talvo_line_close != nullptr) lib_.talvo_line_close(line_);
}

bool LineSession::Start(const Globals& g, std::string& problem) {
    // Loading must not open (or insist on) the settings file's port.
    SetEnv("TALVO_DEFER_PORT", "1");
    if (!lib_.Load(LibraryPath(), nullptr, &problem)) return false;
    if (lib_.talvo_line_open == nullptr || lib_.talvo_line_options_init == nullptr) {
        problem = LibraryPath() + " has no line API (a library before 1.1); `talvo legacy ...` drives its 43 exports";
        return false;
    }
    if (lib_.talvo_line_options_init_size == nullptr || lib_.talvo_line_error_text == nullptr) {
        problem = LibraryPath() + " is older than this tool (1.2 or later is needed)";
        return false;
    }
    talvo_line_options o;
    lib_.talvo_line_options_init(&o);
    if (!g.port.empty()) o.device = g.port.c_str();
    if (g.baud > 0) o.baud = g.baud;
    if (!g.line.empty()) o.line_format = g.line.c_str();
    if (g.echo_time >= 0) o.echo_time_ms = static_cast<std::uint32_t>(g.echo_time);
    if (g.wait_time >= 0) o.wait_time_ms = static_cast<std::uint32_t>(g.wait_time);
    if (g.repeat > 0) o.tries = static_cast<std::uint32_t>(g.repeat);
    if (g.filler >= 0) o.filler_bytes = static_cast<std::uint32_t>(g.filler);
    const int rc = lib_.talvo_line_open(&o, &line_);
    if (rc != TALVO_OK) {
        line_ = nullptr;
        problem = std::string("cannot open ") + o.device + ": " + lib_.talvo_strerror(rc) + " (error " +
                  std::to_string(rc) + ")";
        // The system's own words, where the device itself could not be opened.
        char why[512] = {};
        if (lib_.talvo_line_error_text(nullptr, why, sizeof why) == TALVO_OK && why[0] != '\0') {
            problem += "\n  " + std::string(why);
        }
        if (g.port.empty()) {
            // A first run without --port meets the device a new settings
            // file names: say where it came from and how to name another.
            problem += std::string("\n  no --port was given: ") + o.device +
                       " is the device a new settings file (VELDA.INI) names"
#ifndef _WIN32
                       " (COM2 is /dev/ttyS1 on Linux)"
#endif
                       "; name the terminals' device with --port, such as --port /dev/ttyUSB0, --port ttyS0 or"
                       " --port rfc2217://HOST:PORT";
        }
        return false;
    }
    if (g.trace) lib_.talvo_line_set_trace(line_, TraceFrame, nullptr);
    return true;
}

bool CollectingLineTerminal::CollectOnce(const std::string& store, talvo_collect_result& r, int& rc) {
    if (lib_.talvo_records_collect_into == nullptr) {
        return Fail(LibraryPath() + " has no talvo_records_collect_into (a library older than this tool)", 2);
    }
    talvo_collect_args args{};
    args.size = sizeof args;
    args.path = store.c_str();
    r = talvo_collect_result{};
    rc = lib_.talvo_records_collect_into(line_, terminal_, &args, &r);
    // A batch handed again is the one shown before.
    if (!r.replayed) {
        for (int i = 0; i < r.batch.count && i < TALVO_BATCH_MAX; ++i) {
            if (r.batch.status[i] != TALVO_RAW_KEPT) {
                std::fprintf(stderr, "talvo: collect: not stored, %s: %.28s\n", RawReason(r.batch.status[i]),
                             r.batch.raw[i]);
            }
        }
    }
    return true;
}

bool CollectingLineTerminal::CollectBatch(const std::string& store, BatchResult& result) {
    // The library fetches the batch, appends its records to the store and
    // flushes them, and only then has the terminal clear it.
    result = BatchResult{};
    std::string unanswered;
    for (int round = 0; round < 2; ++round) {
        talvo_collect_result r{};
        int rc = TALVO_OK;
        if (!CollectOnce(store, r, rc)) return false;
        if (!r.replayed) result.received += r.batch.count;
        result.stored += r.stored;
        result.total_cents += r.total_cents;
        if (rc == TALVO_OK) return true;
        if (rc == TALVO_E_STORE) {
            std::string problem;
            if (CheckStoreUsable(store, problem)) problem = store + ": " + lib_.talvo_strerror(rc);
            return Fail(problem + "; the batch stays on the terminal", 2);
        }
        Check(rc);
        if (r.batch.count > 0 && !r.unconfirmed) {
            // The terminal refused the one confirmation it got: it keeps
            // the batch, which the library took out of the store again.
            return Fail(Problem() + "; the batch stays on the terminal" +
                        (r.batch.kept > 0 ? " and was taken out of the store again" : ""));
        }
        if (round == 0 && r.batch.count == 0) return false;
        if (round == 0) unanswered = Problem();
        if (round == 1 && !r.replayed && r.batch.count > 0) unanswered = Problem();
        // No clear answer: the batch stays in the store, and the line knows
        // it only while this run lasts.  What the terminal hands now tells:
        // the same batch again is confirmed without being stored twice;
        // another one means it had cleared the first, and is collected.
    }
    return Fail(unanswered + "; the batch is in the store and perhaps still on the terminal: if the terminal hands "
                             "it again, the next collection stores it a second time");
}

bool CollectingLineTerminal::Ack(int& count, unsigned& mark) {
    // The line API clears a batch it has fetched, and only that one.
    talvo_record records[TALVO_BATCH_MAX];
    std::size_t kept = 0;
    talvo_batch batch{};
    if (!Check(lib_.talvo_records_fetch(line_, terminal_, records, TALVO_BATCH_MAX, &kept, &batch))) return false;
    count = batch.count;
    mark = static_cast<unsigned>(batch.mark);
    if (batch.count == 0) return true;
    return Check(lib_.talvo_records_confirm(line_, terminal_, &batch));
}

}  // namespace talvo::cli

// A line: one serial port with the state that belongs to it - the last
// result, the frame observers, the lock that serializes its calls and what
// it remembers of record batches.  The 43 exports' module owns one default
// line; the line API hands out any number of others.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "talvo.h"

namespace talvo {

// A batch of raw records as a terminal handed it over.
struct BatchImage {
    std::uint16_t mark = 0;
    int count = 0;
    std::string raw;  // count x 28 characters, in order
    bool operator==(const BatchImage& other) const { return mark == other.mark && count == other.count && raw == other.raw; }
};

class Line : public FrameObserver {
public:
    // A legacy line shows port failures in message boxes, honours the
    // display switches and TALVO_TRACE; other lines report through their
    // results and their trace callback only.
    explicit Line(bool legacy) : legacy_(legacy) { port.observer = this; }
    ~Line() override = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool Legacy() const { return legacy_; }
    // Closes the port and gives back every block of memory the line holds
    // (for a line in static storage that outlives the library's unload).
    void Release();
    // Opens the port with the line's settings; quiet retries show nothing.
    int OpenPort(bool quiet) { return port.Open(legacy_ && !quiet); }

    // The file (or "-" for standard error) the legacy frame trace appends
    // to; empty: no trace.
    void SetTraceTarget(std::string target) { traceTarget_ = std::move(target); }

    void FrameSent(const unsigned char* bytes, std::uint32_t count) override;
    void ReplyCollected(const unsigned char* bytes, std::uint32_t count) override;

    SerialPort port;
    std::atomic<std::int32_t> lastError{0};
    std::atomic<std::int32_t> displayRecp{0};
    std::atomic<std::int32_t> displaySend{0};
    talvo_trace_fn traceFn = nullptr;
    void* traceUser = nullptr;
    // Serializes the calls of the line API on this line (the 43 exports
    // hold the module lock instead).
    std::mutex mutex;

    // The batch last fetched from each terminal and not yet confirmed.
    std::map<int, BatchImage> fetched;
    // Batches stored by a collection whose confirmation got no clear
    // answer: when the terminal hands the same raw records again they are
    // confirmed without being stored twice.
    std::map<int, std::string> storedUnconfirmed;
    // Storage for the frames of the next command (see TerminalCommand).
    std::vector<unsigned char> spareRequest;
    std::vector<unsigned char> spareReply;

private:
    bool legacy_;
    int traceTerminal_ = -1;
    int traceCommand_ = -1;
    // Where the legacy frame trace goes (TALVO_TRACE as the library found
    // it when it loaded); empty for none.
    std::string traceTarget_;
};

}  // namespace talvo

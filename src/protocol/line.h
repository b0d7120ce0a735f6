// A line: one transport with the state that belongs to it - its timing, the
// last result, the frame observers, the lock that serializes its calls and
// what it remembers of record batches.  The 43 exports' module owns one
// default line; the line API hands out any number of others.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/transport.h"
#include "talvo.h"

namespace talvo {

// The timing of a line's exchanges.
struct LineTiming {
    std::uint32_t echoTime = 150;  // first-byte wait beyond the request's line time
    std::uint32_t waitTime = 1000; // longest collection of a reply; 0 = one read
    std::uint32_t tries = 3;       // exchanges per command
    std::uint32_t filler = 2;      // filler bytes behind each request
    std::uint32_t baud = 4800;     // for the request's line time; 0 adds none
    // A reply must carry the terminal number of its request; frames of other
    // terminals are passed over like noise.
    bool checkTerminal = true;
    // Added to the first-byte deadline on a network line: the time a
    // request and its reply spend between the PC and the device server.
    std::uint32_t netAllowance = 0;
};

// Told of every frame a line sends and every reply it collects.
class FrameObserver {
public:
    virtual ~FrameObserver() = default;
    virtual void FrameSent(const unsigned char* bytes, std::uint32_t count, int terminal, int command) = 0;
    virtual void ReplyCollected(const unsigned char* bytes, std::uint32_t count, int terminal, int command) = 0;
};

// A batch of raw records as a terminal handed it over.
struct BatchImage {
    std::uint16_t mark = 0;
    int count = 0;
    std::string raw;  // count x 28 characters, in order
    bool operator==(const BatchImage& other) const { return mark == other.mark && count == other.count && raw == other.raw; }
};

class Line {
public:
    // A line that shows open failures to the user (the 43 exports' line)
    // or one that reports them through its results only.
    Line(std::unique_ptr<Transport> transport, bool showFailures)
        : transport_(std::move(transport)), showFailures_(showFailures) {}
    ~Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Transport& transport() { return *transport_; }
    bool HasTransport() const { return transport_ != nullptr; }
    void SetTransport(std::unique_ptr<Transport> transport) { transport_ = std::move(transport); }
    // Closes the transport and gives back every block of memory the line
    // holds (for a line in static storage that outlives the library's unload).
    void Release();
    // Opens the transport; quiet retries show nothing.
    int OpenPort(bool quiet) { return transport_->Open(showFailures_ && !quiet) ? 1 : 0; }

    // One frame onto the line, direction switched around it; the number of
    // bytes written.
    std::uint32_t Send(const unsigned char* bytes, std::uint32_t count);
    // Collects reply bytes under the line's time limits (`waitTime` in place
    // of the line's own); `sent` bytes went out before.  With a terminal
    // number (0-255; -1 for any), frames of other terminals do not end the
    // collection: `skipped` receives the number of bytes at the
    // start of the buffer that belong to such frames.
    std::uint32_t Receive(unsigned char* buffer, std::uint32_t capacity, std::uint32_t sent, std::uint32_t waitTime,
                          int terminal, std::uint32_t& skipped);

    LineTiming timing;
    std::atomic<std::int32_t> lastError{0};
    // Told of every frame (the 43 exports' display switches and trace file).
    FrameObserver* observer = nullptr;
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
    std::vector<unsigned char> spareReceive;
    // The most bytes one reply is collected into: 1,024 on the 43 exports'
    // line; a line of the line API takes kLargestReply.  Sized by replies,
    // not requests: a request may be as long as kMaxFrame (a long list
    // sent), but what a terminal answers to it is a status frame.  The
    // largest reply the 43 exports ask for, a batch of six records
    // (6 x 28 characters and 16 of frame), leaves room for noise ahead of
    // it; what does not fit is taken for noise (see CollectReply).
    std::uint32_t receiveCapacity = 1024;
    // Room for the largest reply a request can ask for: a count of 255
    // entries of the longest entry (a 28-character record), with noise
    // ahead of it.
    static constexpr std::uint32_t kLargestReply = 8192;

private:
    std::unique_ptr<Transport> transport_;
    bool showFailures_;
    int traceTerminal_ = -1;
    int traceCommand_ = -1;
};

// The first verified reply frame in `bytes` that carries `terminal` (any
// terminal when it is negative): its length, with `start` its offset, or 0.
// Valid frames of other terminals before it are passed over.
std::uint32_t FindReply(const unsigned char* bytes, std::uint32_t count, int terminal, std::uint32_t& start);

}  // namespace talvo

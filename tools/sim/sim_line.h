// The software terminal's logic: the terminals on one line, their state, the
// requests they understand, the replies they build and the faults a test can
// ask for.  It parses and builds frames with code of its own, not the
// library's, so that a fault in the library's codec cannot hide on both
// sides of the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace talvo::sim {

enum class Kind { kConsumption, kAttendance };

struct TerminalState {
    Kind kind = Kind::kConsumption;
    std::string cmw = "000000000000";
    std::string mdeb = "000000";             // six-character amount as sent
    std::string key = "740258";
    std::string keyFlags = "66006600";       // four pairs, "66" = flag set
    std::vector<std::string> blacklist;      // 6-character entries
    std::string subsidy;                     // concatenated 12-character entries
    std::string maxSubsidy = "000000";
    std::string subsidyTime;
    std::vector<std::string> menu;           // 6-character prices
    std::string clock;                       // 10 characters, empty = host clock
    std::string attendClock;                 // as set, empty = host clock
    // When each clock was set: a clock runs on from the time it was given.
    std::chrono::steady_clock::time_point clockSetAt{};
    std::chrono::steady_clock::time_point attendClockSetAt{};
    std::string zones = std::string(32, '0');
    std::string attendZones = std::string(80, '0');
    std::map<int, std::string> reasons;      // 16 hex characters each
    bool blocked = false;
    std::deque<std::string> records;         // raw 28-character records
    std::uint16_t mark = 0x0100;             // mark of the batch handed out
    int outstanding = 0;                     // records of that batch
    int batchLimit = 6;                      // records handed out at most
};

// A fault applied to replies for one command code (or every code).
struct Fault {
    int code = -1;             // -1: any command
    std::string kind;          // silence, delay, noise, split, badsum, lowersum,
                               // status, wrongmark, remark, short, long, close, count,
                               // foreign, as (another terminal's reply)
    std::string arg;
    int skip = 0;              // matching requests to let through first
    int times = 1;             // requests to apply it to; 0 = every one
};

// What the server does with one request.
struct Action {
    bool silent = false;
    bool closeLine = false;
    int delayMs = 0;
    std::vector<std::string> pieces;  // reply bytes, written with gaps
    int gapMs = 0;
};

class Line {
public:
    // Bytes from the host; returns one action per complete request frame.
    std::vector<Action> Feed(const unsigned char* bytes, std::size_t count);

    // Control commands (one line each); the answer starts "ok" or, for a
    // command, fault or value it does not understand, "error: " and the
    // reason, and then nothing has changed.
    std::string Control(const std::string& line);

    // The longest request frame a terminal takes, STX to checksum; a longer
    // one is skipped to its end, unanswered, and counted in `dropped`.
    static constexpr std::size_t kMaxFrame = 8192;

    std::map<int, TerminalState> terminals;
    std::vector<Fault> faults;
    std::vector<std::string> frames;  // every request received, as hex
    int paceBaud = 0;
    // Cards each terminal must hold at every moment ("keep"), and the
    // requests after which one of them was missing ("missed").
    std::map<int, std::vector<std::string>> kept;
    long missed = 0;
    std::size_t maxFrame = kMaxFrame;
    long dropped = 0;                 // over-long frames skipped

private:
    // The control words (Control), one each.
    std::string Served(const std::string& word, TerminalState*& t);
    std::string ControlLine(const std::vector<std::string>& w, const std::string& line);
    std::string ControlAdd(const std::vector<std::string>& w, const std::string& line);
    std::string ControlKeep(const std::vector<std::string>& w, const std::string& line);
    std::string ControlMissed(const std::vector<std::string>& w, const std::string& line);
    std::string ControlRemove(const std::vector<std::string>& w, const std::string& line);
    std::string ControlPace(const std::vector<std::string>& w, const std::string& line);
    std::string ControlFault(const std::vector<std::string>& w, const std::string& line);
    std::string ControlRecord(const std::vector<std::string>& w, const std::string& line);
    std::string ControlField(const std::vector<std::string>& w, const std::string& line);

    Action Respond(const std::string& frame);
    std::string Handle(TerminalState& t, int command, int argHigh, int argLow, int count, const std::string& payload,
                       int terminal, std::optional<Fault>& fault);
    std::optional<Fault> TakeFault(int command);

    enum class Receive { kIdle, kFrame, kSum, kSkip, kSkipSum };
    Receive state_ = Receive::kIdle;
    std::string pending_;  // the frame being received
    int skipSum_ = 0;
};

// Frame helpers of the software terminal.
std::string Hex2(int value);
int Unhex2(const std::string& s, std::size_t at);  // -1 when not two hex digits
std::string BuildReply(int terminal, const std::string& status, int argHigh, int argLow, int count,
                       const std::string& payload);
std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);
// A raw record with a correct check pair, from its first 26 characters.
std::string SealRecord(const std::string& first26);

}  // namespace talvo::sim

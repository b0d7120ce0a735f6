// The typed command layer under both faces of the library (the 43 exports
// and the line API): per family, what a command sends, what it checks and
// what it returns.  A face checks its own arguments, calls the command and
// maps the outcome and outputs to its own conventions; a command's payload
// and reply parsing exist here only.
//
// Adding a command: its code below, its function in its family's header and
// source file, and one adapter in each face (src/shell/legacy_*.cpp for the
// 43 exports, src/shell/line_*.cpp for the line API).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/codec.h"
#include "protocol/line.h"
#include "protocol/terminal_command.h"
#include "talvo.h"

namespace talvo::family {

enum Code : std::uint8_t {
    kInqStat = 0x10,
    kInqKey = 0x11,
    kSetKey = 0x21,
    kSetCmw = 0x22,
    kSetMdeb = 0x23,
    kSetHmd = 0x24,
    kSetMenu = 0x26,
    kSetZones = 0x28,  // time zones, attendance zones and reasons
    kSetClock = 0x2A,
    kBlock = 0x2B,
    kAddHmd = 0x2C,
    kSetBtTime = 0x2D,
    kSetMaxbt = 0x2E,
    kReadCmw = 0x32,
    kReadMdeb = 0x33,
    kReadHmd = 0x34,
    kReadMenu = 0x36,
    kReadRecords = 0x37,
    kReadZones = 0x38,  // time zones, attendance zones and reasons
    kReadClock = 0x3A,
    kUnblock = 0x3B,
    kAddBtList = 0x3D,
    kClearHmd = 0x44,
    kClearMenu = 0x46,
    kClearRecords = 0x47,
    kClearRam = 0x4A,
    kReduHmd = 0x4C,
    kClearList = 0x4D,
    kCheckKey = 0x61,
};

inline constexpr std::uint32_t kCmwLength = 12;
inline constexpr std::uint32_t kAmountLength = 6;
inline constexpr std::uint32_t kCardLength = 6;
inline constexpr std::uint32_t kSubsidyEntry = 12;
inline constexpr std::uint32_t kKeyLength = 6;
inline constexpr int kReadHmdLimit = 32;  // entries a blacklist read hands over at most
inline constexpr std::uint32_t kReasonWait = 2000;
inline constexpr int kZones = 8;
inline constexpr std::uint32_t kZoneLength = 4;         // "hhmm"
inline constexpr std::uint32_t kAttendZoneLength = 10;  // "hhmmhhmm" and a two-character code
inline constexpr std::uint32_t kClockLength = 10;       // "yymmddhhmm"
inline constexpr std::uint32_t kAttendClockLength = 14; // "yyyymmddhhmmss"

// What one command came to: the exchange's result (TALVO_OK, or the
// TALVO_E_* code of a failed exchange) and whether the reply's status read
// "GG".
struct Outcome {
    std::int32_t exchange = TALVO_E_NOT_RUN;
    bool accepted = false;
    // The line API's code: TALVO_OK, the exchange's failure, or
    // TALVO_E_REFUSED for a reply that refused the command.
    std::int32_t Code() const { return exchange != TALVO_OK ? exchange : accepted ? TALVO_OK : TALVO_E_REFUSED; }
    bool Exchanged() const { return exchange == TALVO_OK; }
};

// An amount as it travels: six decimal characters, least significant pair
// first.
struct AmountText {
    unsigned char chars[kAmountLength] = {'0', '0', '0', '0', '0', '0'};
    // As the host's float formats with two decimals (-0 goes out as 0).
    static AmountText FromFloat(float value);
    // Exactly, from 0 to 999999 cents.
    static AmountText FromCents(std::int32_t cents);
    double Value() const { return DecodeAmount(chars, 0); }
    std::int32_t Cents() const { return DecodeCents(chars, 0); }
};

// The reply of a reason read: the bytes up to the first 0x0F, at most 8.
std::size_t DecodeReason(const unsigned char* payload, std::uint32_t length, char* reason);

}  // namespace talvo::family

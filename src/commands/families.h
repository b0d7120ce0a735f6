// What the two faces of the library (the 43 exports and the line API) share
// of the command families: command codes and the payload layouts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/terminal_command.h"

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
    kReadZones = 0x38,  // time zones, attendance zones and reasons
    kReadClock = 0x3A,
    kUnblock = 0x3B,
    kAddBtList = 0x3D,
    kClearHmd = 0x44,
    kClearMenu = 0x46,
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

// Six upper-case hex digits: the caller's characters where they are hex
// digits (after upper-casing), the default key's elsewhere.  At most six
// characters of `keyText` are read.
void EncodeKey(const char* keyText, unsigned char* key);

// The reply of a reason read: the bytes up to the first 0x0F, at most 8.
std::size_t DecodeReason(const unsigned char* payload, std::uint32_t length, char* reason);

}  // namespace talvo::family

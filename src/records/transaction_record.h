// Transaction records: the 28-character raw record a terminal sends, and the
// 44-byte decoded record that the store file and the host use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace talvo {

inline constexpr std::size_t kRawRecordLength = 28;

// 44 bytes, little-endian, texts zero-terminated in fixed fields.
struct TransactionRecord {
    char TerminalText[4];   // "%03d"
    char CardNumber[7];     // six characters as sent
    char TypeText[3];       // "05", "13" or "14"
    char gap1[2];           // left alone by the decoding
    float Amount;           // signed by the record type
    char DateText[11];      // "yyyy/mm/dd"
    char TimeText[6];       // "hh:mm"
    char gap2[3];           // left alone by the decoding
    float SecondAmount;
};
static_assert(sizeof(TransactionRecord) == 44, "the record layout is fixed byte for byte");
static_assert(offsetof(TransactionRecord, Amount) == 16 && offsetof(TransactionRecord, DateText) == 20 &&
                  offsetof(TransactionRecord, TimeText) == 31 && offsetof(TransactionRecord, SecondAmount) == 40,
              "the record layout is fixed byte for byte");

// The check pair: the 8-bit sum of the first 13 hex pairs equals the 14th.
bool VerifyRawRecord(const unsigned char* raw);

// Fills every field of `record` but the two gaps.  A date or time that does
// not read as valid is replaced by the current one.  The year is not sent:
// it is the latest year in which the record lies at most one day ahead of
// the host's clock (a record of 1 February 00:00 read at 31 January 23:59
// is of this year, one of 1 January read on 31 December of the next); a
// record further ahead gets the current year, or the one before when its
// month lies ahead of the current month.
void DecodeRecord(const unsigned char* raw, std::int32_t terminal, TransactionRecord& record);

// The clock the decoding reads (the host's local time unless a test sets
// another).
using ClockSource = platform::clock::LocalTime (*)();
void SetRecordClock(ClockSource source);

}  // namespace talvo

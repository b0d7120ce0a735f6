#include "records/transaction_record.h"

#include <cstdio>
#include <cstring>

#include "protocol/codec.h"
#include "talvo.h"

namespace talvo {
namespace {

ClockSource recordClock = &platform::clock::Now;

// A two-digit field of the date or time; -1 unless both are digits (the
// text goes into the record as it stands, so " 5", "5x" or "+5" must not
// pass as 5).
int TwoDigitValue(const char (&text)[2]) {
    if (text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') return -1;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.  A
// day beyond the month's end counts on into the next month (31 April is
// 1 May): the decoding does not test days against months.
std::int64_t DayNumber(int year, int month, int day) {
    const std::int64_t y = month <= 2 ? static_cast<std::int64_t>(year) - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468 + (day - 1);
}

// Seconds since 1970-01-01 00:00 of a calendar time, without time zones:
// the record and the host's clock are both local times.
std::int64_t Seconds(int year, int month, int day, int hour, int minute, int second) {
    return ((DayNumber(year, month, day) * 24 + hour) * 60 + minute) * 60 + second;
}

// The record's year.  The latest year in which the record lies at most one
// day ahead of the host's clock: a terminal whose clock runs a little ahead
// of the host's writes a record dated 1 February while the host still reads
// 31 January, or 1 January while it reads 31 December, and that record
// belongs to the month (and year) it names.  A record further ahead than
// that keeps the older rule: the current year, or the one before when its
// month lies ahead of the current month.
int RecordYear(const platform::clock::LocalTime& now, int month, int day, int hour, int minute) {
    constexpr std::int64_t kOneDay = 24 * 60 * 60;
    const std::int64_t limit =
        Seconds(now.year, now.month, now.day, now.hour, now.minute, now.second) + kOneDay;
    for (int year = now.year + 1; year >= now.year; --year) {
        if (Seconds(year, month, day, hour, minute, 0) <= limit) return year;
    }
    return month > now.month ? now.year - 1 : now.year;
}

void TwoDigits(char* out, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    out[0] = text[0];
    out[1] = text[1];
}

}  // namespace

void SetRecordClock(ClockSource source) { recordClock = source != nullptr ? source : &platform::clock::Now; }

bool VerifyRawRecord(const unsigned char* raw) {
    unsigned sum = 0;
    for (std::uint32_t at = 0; at < 26; at += 2) sum += GetHexPair(raw, at);
    return static_cast<unsigned char>(sum) == GetHexPair(raw, 26);
}

void DecodeRecord(const unsigned char* raw, std::int32_t terminal, TransactionRecord& record) {
    std::memcpy(record.CardNumber, raw, 6);
    record.CardNumber[6] = '\0';

    const int typeDigit = HexDigitValue(raw[12]);
    float sign = -1.0f;
    const char* type = "05";
    switch (typeDigit & 0x0E) {
        case 2: type = "13"; sign = 1.0f; break;
        case 4: type = "14"; sign = 1.0f; break;
        default: break;
    }
    std::memcpy(record.TypeText, type, 3);

    std::memset(record.TerminalText, 0, sizeof record.TerminalText);
    std::snprintf(record.TerminalText, sizeof record.TerminalText, "%03d", static_cast<int>(terminal));

    record.Amount = static_cast<float>(DecodeAmount(raw, 6)) * sign;

    char month[2] = {static_cast<char>('0' + (typeDigit & 1)), static_cast<char>(raw[13])};
    char day[2] = {static_cast<char>(raw[14]), static_cast<char>(raw[15])};
    const platform::clock::LocalTime now = recordClock();
    int monthValue = TwoDigitValue(month);
    int dayValue = TwoDigitValue(day);
    if (monthValue < 1 || monthValue > 12 || dayValue < 1 || dayValue > 31) {
        TwoDigits(month, now.month);
        TwoDigits(day, now.day);
        monthValue = now.month;
        dayValue = now.day;
    }

    char hour[2] = {static_cast<char>(raw[16]), static_cast<char>(raw[17])};
    char minute[2] = {static_cast<char>(raw[18]), static_cast<char>(raw[19])};
    int hourValue = TwoDigitValue(hour);
    int minuteValue = TwoDigitValue(minute);
    if (hourValue < 0 || hourValue > 23 || minuteValue < 0 || minuteValue > 59) {
        TwoDigits(hour, now.hour);
        TwoDigits(minute, now.minute);
        hourValue = now.hour;
        minuteValue = now.minute;
    }

    // The full year (no two-digit window, so 2051 stays 2051), from the date
    // and time as they now stand.
    const int year = RecordYear(now, monthValue, dayValue, hourValue, minuteValue);
    char yearText[16];
    std::snprintf(yearText, sizeof yearText, "%04d", year);
    std::memcpy(record.DateText, yearText, 4);
    record.DateText[4] = '/';
    record.DateText[5] = month[0];
    record.DateText[6] = month[1];
    record.DateText[7] = '/';
    record.DateText[8] = day[0];
    record.DateText[9] = day[1];
    record.DateText[10] = '\0';

    record.TimeText[0] = hour[0];
    record.TimeText[1] = hour[1];
    record.TimeText[2] = ':';
    record.TimeText[3] = minute[0];
    record.TimeText[4] = minute[1];
    record.TimeText[5] = '\0';

    record.SecondAmount = static_cast<float>(DecodeAmount(raw, 20));
}

}  // namespace talvo

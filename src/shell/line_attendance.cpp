// The line API's attendance terminal commands.
#include <cstring>

#include "commands/attendance.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

extern "C" {

TALVO_API int TALVO_CALL talvo_attend_zones_read(talvo_line* line, int terminal, talvo_attend_zone* zones,
                                                 std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        AttendZoneChars read;
        if (const int r = ReadAttendZones(l, terminal, read).Code(); r != 0) return r;
        if (read.whole < TALVO_ZONES) return TALVO_E_SHORT_REPLY;
        talvo_attend_zone decoded[TALVO_ZONES];
        for (int k = 0; k < TALVO_ZONES; ++k) {
            const unsigned char* c = read.chars + kAttendZoneLength * k;
            decoded[k] = talvo_attend_zone{{Digits(c, 2), Digits(c + 2, 2)}, {Digits(c + 4, 2), Digits(c + 6, 2)},
                                           {static_cast<char>(c[8]), static_cast<char>(c[9]), '\0', '\0'}};
            if (decoded[k].start.hour < 0 || decoded[k].start.minute < 0 || decoded[k].end.hour < 0 ||
                decoded[k].end.minute < 0) {
                return TALVO_E_SHORT_REPLY;
            }
        }
        std::memcpy(zones, decoded, sizeof decoded);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_attend_zones_set(talvo_line* line, int terminal, const talvo_attend_zone* zones,
                                                std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    unsigned char payload[kAttendZoneLength * kZones];
    for (int k = 0; k < TALVO_ZONES; ++k) {
        if (!ValidTime(zones[k].start) || !ValidTime(zones[k].end) ||
            ::strnlen(zones[k].code, sizeof zones[k].code) != 2) {
            return TALVO_E_INVALID;
        }
        unsigned char* c = payload + kAttendZoneLength * k;
        PutDigits(c, zones[k].start.hour, 2);
        PutDigits(c + 2, zones[k].start.minute, 2);
        PutDigits(c + 4, zones[k].end.hour, 2);
        PutDigits(c + 6, zones[k].end.minute, 2);
        c[8] = static_cast<unsigned char>(zones[k].code[0]);
        c[9] = static_cast<unsigned char>(zones[k].code[1]);
    }
    return OnCommand(line, terminal, [&](Line& l) { return SetAttendZones(l, terminal, payload); });
}

TALVO_API int TALVO_CALL talvo_attend_reason_set(talvo_line* line, int terminal, int number, const char* text) {
    const std::size_t n = text != nullptr ? ::strnlen(text, 9) : 0;
    if (text == nullptr || n > 8 || number < 0 || number > 255) return TALVO_E_INVALID;
    // A shorter reason ends with 0x0F, as the terminal reads it back.
    unsigned char bytes[8];
    std::memset(bytes, 0x0F, sizeof bytes);
    std::memcpy(bytes, text, n);
    return OnCommand(line, terminal, [&](Line& l) { return SetReason(l, terminal, number, bytes); });
}

TALVO_API int TALVO_CALL talvo_attend_reason_read(talvo_line* line, int terminal, int number, char* text,
                                                  std::size_t size) {
    if (text == nullptr || number < 0 || number > 255) return TALVO_E_INVALID;
    if (size < 9) return TALVO_E_BUFFER;
    return OnTerminal(line, terminal, [&](Line& l) {
        // The terminal takes its time with reasons: at least 2000 ms.
        const std::uint32_t wait = l.timing.waitTime < kReasonWait ? kReasonWait : l.timing.waitTime;
        ReasonText read;
        if (const int r = ReadReason(l, terminal, number, wait, read).Code(); r != 0) return r;
        std::memcpy(text, read.text, read.length);
        text[read.length] = '\0';
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_attend_clock_read(talvo_line* line, int terminal, talvo_datetime* out) {
    if (out == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        AttendClockChars read;
        if (const int r = ReadAttendClock(l, terminal, read).Code(); r != 0) return r;
        if (!read.present) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = read.chars;
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
    unsigned char chars[kAttendClockLength];
    PutDigits(chars, when->year, 4);
    PutDigits(chars + 4, when->month, 2);
    PutDigits(chars + 6, when->day, 2);
    PutDigits(chars + 8, when->hour, 2);
    PutDigits(chars + 10, when->minute, 2);
    PutDigits(chars + 12, when->second, 2);
    return OnCommand(line, terminal, [&](Line& l) { return SetAttendClock(l, terminal, chars, sizeof chars); });
}

}  // extern "C"

// The line API's clock, time zone and lock commands.
#include <cstring>

#include "commands/clock_zones.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

extern "C" {

TALVO_API int TALVO_CALL talvo_clock_read(talvo_line* line, int terminal, talvo_datetime* out) {
    if (out == nullptr) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        ClockDigits read;
        if (const int r = ReadClock(l, terminal, read).Code(); r != 0) return r;
        if (!read.present) return TALVO_E_SHORT_REPLY;
        const unsigned char* p = read.digits;
        const talvo_datetime t{2000 + Digits(p, 2), Digits(p + 2, 2), Digits(p + 4, 2), Digits(p + 6, 2),
                               Digits(p + 8, 2), 0};
        if (Digits(p, 2) < 0 || t.month < 0 || t.day < 0 || t.hour < 0 || t.minute < 0) return TALVO_E_SHORT_REPLY;
        *out = t;
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_clock_set(talvo_line* line, int terminal, const talvo_datetime* when) {
    if (when == nullptr || !ValidDateTime(*when, 2000, 2099)) return TALVO_E_INVALID;
    unsigned char digits[kClockLength];
    PutDigits(digits, when->year % 100, 2);
    PutDigits(digits + 2, when->month, 2);
    PutDigits(digits + 4, when->day, 2);
    PutDigits(digits + 6, when->hour, 2);
    PutDigits(digits + 8, when->minute, 2);
    return OnCommand(line, terminal, [&](Line& l) { return SetClock(l, terminal, digits); });
}

TALVO_API int TALVO_CALL talvo_zones_read(talvo_line* line, int terminal, talvo_time_of_day* zones, std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        ZoneDigits read;
        if (const int r = ReadZones(l, terminal, read).Code(); r != 0) return r;
        if (read.whole < TALVO_ZONES) return TALVO_E_SHORT_REPLY;
        talvo_time_of_day decoded[TALVO_ZONES];
        for (int k = 0; k < TALVO_ZONES; ++k) {
            const unsigned char* p = read.digits + kZoneLength * k;
            decoded[k] = talvo_time_of_day{Digits(p, 2), Digits(p + 2, 2)};
            if (decoded[k].hour < 0 || decoded[k].minute < 0) return TALVO_E_SHORT_REPLY;
        }
        std::memcpy(zones, decoded, sizeof decoded);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_zones_set(talvo_line* line, int terminal, const talvo_time_of_day* zones,
                                         std::size_t count) {
    if (zones == nullptr || count != TALVO_ZONES) return TALVO_E_INVALID;
    unsigned char digits[kZoneLength * kZones];
    for (int k = 0; k < TALVO_ZONES; ++k) {
        if (!ValidTime(zones[k])) return TALVO_E_INVALID;
        PutDigits(digits + 4 * k, zones[k].hour, 2);
        PutDigits(digits + 4 * k + 2, zones[k].minute, 2);
    }
    return OnCommand(line, terminal, [&](Line& l) { return SetZones(l, terminal, digits); });
}

TALVO_API int TALVO_CALL talvo_lock(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return Lock(l, terminal); });
}

TALVO_API int TALVO_CALL talvo_unlock(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return Unlock(l, terminal); });
}

}  // extern "C"

// Record decoding: the 28-character raw records of a batch as a terminal
// sends them, decoded against a host clock that the input also chooses.
#include <cmath>
#include <cstring>

#include "fuzz_check.h"
#include "protocol/codec.h"
#include "records/transaction_record.h"

using namespace talvo;

namespace {

platform::clock::LocalTime clockNow{};
platform::clock::LocalTime FuzzClock() { return clockNow; }

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool SixDigits(const unsigned char* t) {
    for (int i = 0; i < 6; ++i) {
        if (!Digit(static_cast<char>(t[i]))) return false;
    }
    return true;
}
int Two(const char* t) { return (t[0] - '0') * 10 + (t[1] - '0'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Five bytes of host clock and the terminal's number, then raw records.
    if (size < 6) return 0;
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    clockNow = {};
    clockNow.year = 2000 + data[0] % 100;
    clockNow.month = 1 + data[1] % 12;
    clockNow.day = 1 + data[2] % kDays[clockNow.month - 1];
    clockNow.hour = data[3] % 24;
    clockNow.minute = data[4] % 60;
    clockNow.second = data[4] % 60;
    SetRecordClock(&FuzzClock);
    const std::int32_t terminal = data[5];
    data += 6;
    size -= 6;

    for (std::size_t at = 0; at + kRawRecordLength <= size; at += kRawRecordLength) {
        const unsigned char* raw = data + at;
        (void)VerifyRawRecord(raw);
        TransactionRecord r;
        std::memset(&r, 0x5A, sizeof r);
        DecodeRecord(raw, terminal, r);

        // The gaps are left as they were; every text is terminated.
        FUZZ_CHECK(r.gap1[0] == 0x5A && r.gap1[1] == 0x5A && r.gap2[0] == 0x5A && r.gap2[2] == 0x5A);
        FUZZ_CHECK(std::memcmp(r.CardNumber, raw, 6) == 0 && r.CardNumber[6] == '\0');
        FUZZ_CHECK(std::strcmp(r.TerminalText, "000") >= 0 && std::strlen(r.TerminalText) == 3);
        const std::string type(r.TypeText);
        FUZZ_CHECK(type == "05" || type == "13" || type == "14");
        // A payment takes money off the card; deposits and subsidies add it
        // (an amount of six digits: a sign in the field is the terminal's).
        // (Other characters decode as the legacy decoder read them, an
        // exponent too: "1e99" is beyond a float.)
        if (SixDigits(raw + 6)) {
            const float cents = static_cast<float>(DecodeCents(raw, 6));
            FUZZ_CHECK(std::isfinite(r.Amount) && std::fabs(std::fabs(r.Amount) * 100.0f - cents) < 1.0f);
            if (type == "05") FUZZ_CHECK(r.Amount <= 0.0f);
            else FUZZ_CHECK(r.Amount >= 0.0f);
        }
        if (SixDigits(raw + 20)) {
            FUZZ_CHECK(std::fabs(r.SecondAmount * 100.0f - static_cast<float>(DecodeCents(raw, 20))) < 1.0f);
        }

        // "yyyy/mm/dd" and "hh:mm" of a date and time that can be, the year
        // next to the host's.
        const char* d = r.DateText;
        FUZZ_CHECK(d[10] == '\0' && d[4] == '/' && d[7] == '/');
        for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) FUZZ_CHECK(Digit(d[i]));
        const int year = Two(d) * 100 + Two(d + 2);
        FUZZ_CHECK(year >= clockNow.year - 1 && year <= clockNow.year + 1);
        FUZZ_CHECK(Two(d + 5) >= 1 && Two(d + 5) <= 12 && Two(d + 8) >= 1 && Two(d + 8) <= 31);
        const char* t = r.TimeText;
        FUZZ_CHECK(t[5] == '\0' && t[2] == ':' && Digit(t[0]) && Digit(t[1]) && Digit(t[3]) && Digit(t[4]));
        FUZZ_CHECK(Two(t) <= 23 && Two(t + 3) <= 59);
    }
    SetRecordClock(nullptr);
    return 0;
}

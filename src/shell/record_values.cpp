#include "shell/record_values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/line_face.h"

namespace talvo::lineapi {
namespace {

int TypeNumber(const char* typeText) {
    if (std::strncmp(typeText, "05", 3) == 0) return TALVO_RECORD_PAYMENT;
    if (std::strncmp(typeText, "13", 3) == 0) return TALVO_RECORD_DEPOSIT;
    if (std::strncmp(typeText, "14", 3) == 0) return TALVO_RECORD_SUBSIDY;
    return -1;
}

// An amount the store's float holds and hands back as the same cents: at
// most 9999.99 either way.  Compared as it stands (no std::abs, whose result
// for INT32_MIN does not exist).
bool StorableCents(std::int32_t cents) { return cents >= -kMaxCents && cents <= kMaxCents; }

std::int32_t Cents(float amount) {
    const double cents = std::round(static_cast<double>(amount) * 100.0);
    if (!(cents > -2147483648.0 && cents < 2147483647.0)) return 0;
    return static_cast<std::int32_t>(cents);
}

}  // namespace

int ToRecord(const TransactionRecord& in, talvo_record& out) {
    talvo_record r{};
    char text[16];
    std::memcpy(text, in.TerminalText, sizeof in.TerminalText);
    text[sizeof in.TerminalText] = '\0';
    r.terminal = static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
    std::memcpy(r.card, in.CardNumber, sizeof in.CardNumber);
    r.card[6] = '\0';
    char type[4] = {in.TypeText[0], in.TypeText[1], '\0', '\0'};
    r.type = TypeNumber(type);
    r.amount_cents = Cents(in.Amount);
    r.second_amount_cents = Cents(in.SecondAmount);
    const auto* date = reinterpret_cast<const unsigned char*>(in.DateText);
    const auto* time = reinterpret_cast<const unsigned char*>(in.TimeText);
    r.year = Digits(date, 4);
    r.month = Digits(date + 5, 2);
    r.day = Digits(date + 8, 2);
    r.hour = Digits(time, 2);
    r.minute = Digits(time + 3, 2);
    if (r.type < 0 || r.year < 0 || r.month < 0 || r.day < 0 || r.hour < 0 || r.minute < 0) return TALVO_E_INVALID;
    out = r;
    return 0;
}

int FromRecord(const talvo_record& in, TransactionRecord& out) {
    const char* type = in.type == TALVO_RECORD_PAYMENT   ? "05"
                       : in.type == TALVO_RECORD_DEPOSIT ? "13"
                       : in.type == TALVO_RECORD_SUBSIDY ? "14"
                                                         : nullptr;
    const talvo_datetime when{in.year, in.month, in.day, in.hour, in.minute, 0};
    if (type == nullptr || in.terminal < 0 || in.terminal > 999 || !ValidDateTime(when, 1000, 9999) ||
        ::strnlen(in.card, sizeof in.card) != 6 || !StorableCents(in.amount_cents) ||
        !StorableCents(in.second_amount_cents)) {
        return TALVO_E_INVALID;
    }
    TransactionRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.TerminalText, sizeof r.TerminalText, "%03d", static_cast<int>(in.terminal));
    std::memcpy(r.CardNumber, in.card, 6);
    std::memcpy(r.TypeText, type, 3);
    r.Amount = static_cast<float>(in.amount_cents / 100.0);
    std::snprintf(r.DateText, sizeof r.DateText, "%04d/%02d/%02d", static_cast<int>(in.year),
                  static_cast<int>(in.month), static_cast<int>(in.day));
    std::snprintf(r.TimeText, sizeof r.TimeText, "%02d:%02d", static_cast<int>(in.hour), static_cast<int>(in.minute));
    r.SecondAmount = static_cast<float>(in.second_amount_cents / 100.0);
    out = r;
    return 0;
}


}  // namespace talvo::lineapi

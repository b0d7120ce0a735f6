#include "protocol/codec.h"

#include <cmath>

#include <cstdio>
#include <cstring>

namespace talvo {

void PutHexPair(unsigned char* buffer, std::uint32_t position, std::int32_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    const unsigned v = static_cast<unsigned>(value) & 0xFFu;
    buffer[position] = static_cast<unsigned char>(kDigits[v >> 4]);
    buffer[position + 1] = static_cast<unsigned char>(kDigits[v & 0x0Fu]);
}

int HexDigitValue(unsigned char c) { return c > 0x40 ? c - 0x37 : c - 0x30; }

unsigned char GetHexPair(const unsigned char* buffer, std::uint32_t position) {
    return static_cast<unsigned char>(16 * HexDigitValue(buffer[position]) + HexDigitValue(buffer[position + 1]));
}

unsigned char FrameChecksum(const unsigned char* bytes, std::uint32_t length) {
    unsigned char sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (bytes[i] == kEtx) break;
        if (bytes[i] != kStx) sum = static_cast<unsigned char>(sum + bytes[i]);
    }
    return sum;
}

std::uint32_t ExtractReply(const unsigned char* received, std::uint32_t count, std::uint32_t& start) {
    // The frame at the first STX; when it does not verify, the one at the
    // next STX in the same bytes (a stray 0x02 on the line, or the start of
    // a frame cut off, ahead of a whole reply).
    for (std::uint32_t from = 0; from < count;) {
        const void* stx = std::memchr(received + from, kStx, count - from);
        if (stx == nullptr) return 0;
        const std::uint32_t s = static_cast<std::uint32_t>(static_cast<const unsigned char*>(stx) - received);
        from = s + 1;
        // A frame ends at the first ETX after its STX (its fields are
        // printable text).  A later STX finds the same ETX or one further
        // on, so when this frame has none, or its checksum has not all come
        // yet, neither has any frame after it.
        const void* etx = std::memchr(received + s + 1, kEtx, count - s - 1);
        if (etx == nullptr) return 0;
        const std::uint32_t e = static_cast<std::uint32_t>(static_cast<const unsigned char*>(etx) - received);
        if (e - s + 1 < 14) continue;
        if (e + 2 >= count) return 0;
        if (FrameChecksum(received + s, e - s + 1) != GetHexPair(received, e + 1)) continue;
        start = s;
        return e - s + 3;
    }
    return 0;
}

void EncodeAmount(unsigned char* buffer, std::uint32_t position, float value) {
    char t[64];
    std::snprintf(t, sizeof t, "%7.2f", static_cast<double>(value));
    const int order[6] = {5, 6, 2, 3, 0, 1};
    for (int i = 0; i < 6; ++i) {
        const char c = t[order[i]];
        buffer[position + static_cast<std::uint32_t>(i)] = static_cast<unsigned char>(c == ' ' ? '0' : c);
    }
}

double DecodeAmount(const unsigned char* text, std::uint32_t position) {
    const unsigned char* d = text + position;
    const char built[8] = {static_cast<char>(d[4]), static_cast<char>(d[5]), static_cast<char>(d[2]),
                           static_cast<char>(d[3]), '.', static_cast<char>(d[0]), static_cast<char>(d[1]), '\0'};
    // A plain decimal number: blanks, a sign, digits, a point, digits and an
    // exponent, stopping at the first character that cannot continue it.  No
    // hexadecimal, infinity or NaN forms, and no dependence on the locale.
    const char* p = built;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    std::int64_t mantissa = 0;
    int fraction = 0;
    bool digits = false;
    while (*p >= '0' && *p <= '9') {
        mantissa = mantissa * 10 + (*p++ - '0');
        digits = true;
    }
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            mantissa = mantissa * 10 + (*p++ - '0');
            ++fraction;
            digits = true;
        }
    }
    if (!digits) return 0.0;
    int exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool expNegative = false;
        if (*q == '+' || *q == '-') expNegative = *q++ == '-';
        while (*q >= '0' && *q <= '9') exponent = exponent * 10 + (*q++ - '0');
        if (expNegative) exponent = -exponent;
    }
    // Dividing or multiplying an exact integer by an exact power of ten gives
    // the correctly rounded double.
    const int scale = exponent - fraction;
    double value = static_cast<double>(mantissa);
    double power = 1.0;
    for (int i = 0; i < (scale < 0 ? -scale : scale); ++i) power *= 10.0;
    value = scale < 0 ? value / power : value * power;
    return negative ? -value : value;
}

bool AmountFits(double value) {
    return std::isfinite(value) && value >= 0.0 && std::round(value * 100.0) <= kMaxCents;
}

void EncodeCents(unsigned char* buffer, std::uint32_t position, std::int32_t cents) {
    const std::int32_t pairs[3] = {cents % 100, cents / 100 % 100, cents / 10000 % 100};
    for (int i = 0; i < 3; ++i) {
        buffer[position + 2 * i] = static_cast<unsigned char>('0' + pairs[i] / 10);
        buffer[position + 2 * i + 1] = static_cast<unsigned char>('0' + pairs[i] % 10);
    }
}

std::int32_t DecodeCents(const unsigned char* text, std::uint32_t position) {
    const double cents = std::round(DecodeAmount(text, position) * 100.0);
    if (!(cents > -2147483648.0 && cents < 2147483647.0)) return 0;
    return static_cast<std::int32_t>(cents);
}

}  // namespace talvo

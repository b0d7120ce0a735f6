// Frame codec: hex pairs, the frame checksum, reply extraction and the
// six-character amount encoding.
//
// Request frame: STX, six header bytes as hex pairs (prefix, terminal,
// command, argHigh, argLow, count), the payload, ETX, the checksum as a hex
// pair, then `ConvertP` filler bytes '3'.  A reply has the same layout
// without filler; its command position carries the status ("GG" accepted).
#pragma once

#include <cstdint>

namespace talvo {

inline constexpr unsigned char kStx = 0x02;
inline constexpr unsigned char kEtx = 0x03;
inline constexpr unsigned char kFiller = 0x33;
// Frame bytes around the payload: STX, 12 header characters, ETX, 2 checksum.
inline constexpr std::uint32_t kFrameOverhead = 16;
inline constexpr std::uint32_t kPayloadOffset = 13;

// Writes the low 8 bits of `value` as two upper-case hex characters.
void PutHexPair(unsigned char* buffer, std::uint32_t position, std::int32_t value);
// Decodes two characters without validating them (lower case gives what the
// arithmetic gives: "4d" is 0x6D).
unsigned char GetHexPair(const unsigned char* buffer, std::uint32_t position);
int HexDigitValue(unsigned char c);
// Sum modulo 256 of the bytes up to the first ETX, leaving out every STX.
unsigned char FrameChecksum(const unsigned char* bytes, std::uint32_t length);
// Finds and verifies a reply frame in the received bytes: the one at the
// first STX, or, when that one does not verify, at the next STX, and so on.
// Returns its length (STX through the second checksum character) and its
// start, or 0.
std::uint32_t ExtractReply(const unsigned char* received, std::uint32_t count, std::uint32_t& start);

// Six-character amounts: pairs of decimals, units and hundreds, least
// significant pair first ("503412" is 1234.50).  0 to 9999.99 round-trip;
// other values are encoded as "%7.2f" lays them out.
void EncodeAmount(unsigned char* buffer, std::uint32_t position, float value);
double DecodeAmount(const unsigned char* text, std::uint32_t position);

// True when `value` is an amount the encoding holds: finite, not negative,
// and at most 9999.99 once rounded to cents.
bool AmountFits(double value);
// Exact forms in cents, 0 to 999999: the same six characters.
inline constexpr std::int32_t kMaxCents = 999999;
void EncodeCents(unsigned char* buffer, std::uint32_t position, std::int32_t cents);
std::int32_t DecodeCents(const unsigned char* text, std::uint32_t position);
}  // namespace talvo

// Reply extraction and the frame codec: received bytes from a terminal (or
// a noisy line) searched for a verified reply frame, and the six-character
// amounts that frames carry.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "protocol/codec.h"
#include "protocol/line.h"

using namespace talvo;

namespace {

void CheckFrame(const unsigned char* bytes, std::uint32_t count, std::uint32_t start, std::uint32_t length) {
    // A frame that was found lies inside the bytes, runs from STX through
    // its checksum pair, and verifies.
    FUZZ_CHECK(length >= 16 && start + length <= count);
    FUZZ_CHECK(bytes[start] == kStx && bytes[start + length - 3] == kEtx);
    FUZZ_CHECK(FrameChecksum(bytes + start, length - 2) == GetHexPair(bytes, start + length - 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The receive buffer holds at most the largest reply a request can ask for.
    if (size > Line::kLargestReply) return 0;
    const std::uint32_t count = static_cast<std::uint32_t>(size);
    std::vector<unsigned char> bytes(data, data + size);

    std::uint32_t start = 0;
    const std::uint32_t length = ExtractReply(bytes.data(), count, start);
    if (length != 0) CheckFrame(bytes.data(), count, start, length);

    // Any terminal, then the terminal of the first frame: that one is found
    // where the search for any terminal found it.
    std::uint32_t anyStart = 0;
    const std::uint32_t any = FindReply(bytes.data(), count, -1, anyStart);
    FUZZ_CHECK(any == length && (any == 0 || anyStart == start));
    if (any != 0) {
        const int terminal = GetHexPair(bytes.data(), anyStart + 3);
        std::uint32_t at = 0;
        const std::uint32_t own = FindReply(bytes.data(), count, terminal, at);
        FUZZ_CHECK(own == any && at == anyStart);
    }
    // Another terminal's frame, or none.
    if (count > 0) {
        const int terminal = data[0];
        std::uint32_t at = 0;
        const std::uint32_t own = FindReply(bytes.data(), count, terminal, at);
        if (own != 0) {
            CheckFrame(bytes.data(), count, at, own);
            FUZZ_CHECK(GetHexPair(bytes.data(), at + 3) == terminal);
        }
    }

    // The bytes as the payload of a frame of our own making: extracted again
    // whole, whatever noise (the payload's own STX and ETX bytes aside) lies
    // ahead of it.
    if (std::memchr(data, kEtx, size) == nullptr && std::memchr(data, kStx, size) == nullptr) {
        std::vector<unsigned char> frame(kFrameOverhead + size);
        frame[0] = kStx;
        const int header[6] = {0x55, 1, 0x47, 0, 0, static_cast<int>(size & 0xFF)};
        for (int i = 0; i < 6; ++i) PutHexPair(frame.data(), 1 + 2 * static_cast<std::uint32_t>(i), header[i]);
        if (size != 0) std::memcpy(frame.data() + kPayloadOffset, data, size);
        frame[kPayloadOffset + size] = kEtx;
        PutHexPair(frame.data(), kPayloadOffset + count + 1,
                   FrameChecksum(frame.data(), static_cast<std::uint32_t>(frame.size())));
        std::uint32_t at = 0;
        FUZZ_CHECK(ExtractReply(frame.data(), static_cast<std::uint32_t>(frame.size()), at) == frame.size() && at == 0);
    }

    // Amounts: any six characters decode; cents within the encoding's range
    // encode and decode to themselves.
    if (size >= 6) {
        const double amount = DecodeAmount(data, 0);
        (void)amount;
        (void)DecodeCents(data, 0);
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) bits = bits << 8 | data[i];
        const std::int32_t cents = static_cast<std::int32_t>(bits % (kMaxCents + 1));
        unsigned char six[6];
        EncodeCents(six, 0, cents);
        FUZZ_CHECK(DecodeCents(six, 0) == cents);
        if (AmountFits(cents / 100.0)) {
            EncodeAmount(six, 0, static_cast<float>(cents / 100.0));
            FUZZ_CHECK(DecodeCents(six, 0) == cents);
        }
    }
    return 0;
}

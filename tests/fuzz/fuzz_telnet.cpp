// The Telnet / RFC 2217 decoder: bytes from a device server, split into
// the line's data and the server's commands however the reads cut them.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "net/telnet.h"

using namespace talvo;

namespace {

struct Decoded {
    std::vector<unsigned char> data;
    std::vector<unsigned char> reply;
    telnet::Decoder decoder;
};

// Decodes `bytes` in reads of the given sizes (cycled), as a socket hands them.
void DecodeInReads(const std::vector<unsigned char>& bytes, const std::vector<std::size_t>& reads, Decoded& out) {
    std::vector<unsigned char> start;
    out.decoder.Start(start);
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        const std::size_t n = std::min(bytes.size() - at, reads.empty() ? bytes.size() : reads[i % reads.size()]);
        std::vector<unsigned char> chunk(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        const std::uint32_t k = out.decoder.Decode(chunk.data(), static_cast<std::uint32_t>(n), out.reply);
        FUZZ_CHECK(k <= n);
        out.data.insert(out.data.end(), chunk.begin(), chunk.begin() + k);
        at += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 16 * 1024) return 0;
    // The first byte chooses how the stream is cut into reads.
    const std::vector<unsigned char> bytes(data + 1, data + size);
    std::vector<std::size_t> reads;
    for (unsigned v = data[0]; v != 0; v >>= 2) reads.push_back(1 + (v & 3) * 3);

    Decoded whole, pieces;
    DecodeInReads(bytes, {}, whole);
    DecodeInReads(bytes, reads, pieces);
    // However the reads cut it, the stream gives the same data, answers and
    // COM port state.
    FUZZ_CHECK(whole.data == pieces.data);
    FUZZ_CHECK(whole.reply == pieces.reply);
    FUZZ_CHECK(whole.decoder.comPortAccepted == pieces.decoder.comPortAccepted &&
               whole.decoder.comPortRefused == pieces.decoder.comPortRefused &&
               whole.decoder.answered == pieces.decoder.answered &&
               std::memcmp(whole.decoder.value, pieces.decoder.value, sizeof whole.decoder.value) == 0);
    // Each option is answered at most once: a server repeating a request
    // cannot make the client loop.
    FUZZ_CHECK(whole.reply.size() <= 3 * 2 * 256);

    // The data escaped and decoded again comes back as it was.
    std::vector<unsigned char> escaped;
    telnet::Escape(bytes.data(), static_cast<std::uint32_t>(bytes.size()), escaped);
    Decoded again;
    DecodeInReads(escaped, reads, again);
    FUZZ_CHECK(again.data == bytes && again.reply.empty());

    // A COM port command's value survives its escaping.
    if (!bytes.empty()) {
        std::vector<unsigned char> command;
        const unsigned char code = static_cast<unsigned char>(bytes[0] % 32);
        const std::uint32_t length = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - 1, 4));
        telnet::ComPortCommand(code, bytes.data() + 1, length, command);
        FUZZ_CHECK(command.size() >= 6u + length && command[0] == telnet::kIac && command[1] == telnet::kSb &&
                   command[command.size() - 2] == telnet::kIac && command.back() == telnet::kSe);
    }
    return 0;
}

// The rules of the timed reply collection, against a scripted line and a
// clock that only moves when the script says so.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/receive_loop.h"

namespace talvo {
namespace {

// A line that delivers pieces at given times; every read advances the clock
// by the time it waited (as a read on a real device would).
struct ScriptedLine {
    struct Piece {
        std::uint32_t at;
        std::string bytes;
    };
    std::vector<Piece> pieces;
    std::uint32_t now = 1000;
    int reads = 0;
    std::vector<std::uint32_t> waits;

    std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t wait) {
        ++reads;
        waits.push_back(wait);
        // Wait for the next piece, but no longer than `wait`; a full buffer
        // takes nothing and just waits.
        const std::uint32_t until = now + wait;
        for (std::size_t i = 0; capacity > 0 && i < pieces.size(); ++i) {
            const auto ahead = static_cast<std::int32_t>(pieces[i].at - now);
            if (ahead <= static_cast<std::int32_t>(wait)) {
                if (ahead > 0) now = pieces[i].at;
                const std::uint32_t n = std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(pieces[i].bytes.size()));
                std::memcpy(buffer, pieces[i].bytes.data(), n);
                pieces[i].bytes.erase(0, n);
                if (pieces[i].bytes.empty()) pieces.erase(pieces.begin() + static_cast<long>(i));
                return n;
            }
        }
        now = until;
        return 0;
    }

    std::uint32_t Collect(std::uint32_t deadline, std::uint32_t waitTime, std::vector<unsigned char>& out,
                          std::uint32_t capacity = 1024, std::uint32_t limit = 0x7FFFFFFFu) {
        out.assign(capacity, 0);
        const std::uint32_t n = CollectReply(
            out.data(), capacity, deadline, waitTime, limit,
            [this](unsigned char* b, std::uint32_t c, std::uint32_t w) { return Read(b, c, w); },
            [this] { return now; });
        out.resize(n);
        return n;
    }
};

const std::string kFrame = std::string("\x02" "0001GG000000" "\x03" "6F");

TEST(FirstByteDeadline, EchoTimePlusTheBytesOnTheLine) {
    EXPECT_EQ(FirstByteDeadline(150, 18, 4800), 180u);
    EXPECT_EQ(FirstByteDeadline(50, 18, 9600), 65u);
    EXPECT_EQ(FirstByteDeadline(150, 18, 0), 150u);  // no division by zero
}

TEST(CollectReply, PiecesAreCollectedUntilEtxIsThirdFromTheEnd) {
    ScriptedLine line;
    line.pieces = {{1010, kFrame.substr(0, 5)}, {1030, kFrame.substr(5, 9)}, {1050, kFrame.substr(14) + "33"}};
    std::vector<unsigned char> got;
    EXPECT_EQ(line.Collect(180, 1000, got), 18u);
    // The ETX check looks at the end of all that has arrived: with two
    // filler bytes behind the checksum the byte three from the end is a
    // checksum character, so collection goes on until the time limit.
    EXPECT_EQ(line.now, 2000u);

    ScriptedLine exact;
    exact.pieces = {{1010, kFrame.substr(0, 5)}, {1030, kFrame.substr(5)}};
    EXPECT_EQ(exact.Collect(180, 1000, got), 16u);
    EXPECT_EQ(exact.now, 1030u);  // done at once with the checksum
    EXPECT_EQ(std::string(got.begin(), got.end()), kFrame);
}

TEST(CollectReply, SilentLineEndsAfterTheFirstByteDeadline) {
    ScriptedLine line;
    std::vector<unsigned char> got;
    EXPECT_EQ(line.Collect(180, 1000, got), 0u);
    EXPECT_GT(line.now - 1000, 180u);
    EXPECT_LE(line.now - 1000, 182u);
}

TEST(CollectReply, WaitTimeCountsFromTheStartNotFromTheLastByte) {
    ScriptedLine line;
    // Bytes without an ETX, arriving every 30 ms up to 1200 ms after the start.
    for (std::uint32_t t = 1010; t <= 2200; t += 30) line.pieces.push_back({t, "x"});
    std::vector<unsigned char> got;
    const std::uint32_t n = line.Collect(180, 1000, got);
    // Collection ends at the first empty read after 1000 ms had passed, even
    // though bytes were still coming every 30 ms.
    EXPECT_GE(line.now - 1000, 1000u);
    EXPECT_LT(line.now - 1000, 1040u);
    EXPECT_EQ(n, (line.now - 1010) / 30 + 1);
}

TEST(CollectReply, BytesThatKeepComingKeepItRunningPastWaitTime) {
    ScriptedLine line;
    // A byte every millisecond: no read after the limit comes back empty.
    for (std::uint32_t t = 1001; t <= 1150; ++t) line.pieces.push_back({t, "y"});
    std::vector<unsigned char> got;
    EXPECT_EQ(line.Collect(50, 100, got), 150u);
    EXPECT_GT(line.now - 1000, 100u);
}

TEST(CollectReply, WaitTimeZeroMakesExactlyOneReadOfOneMillisecond) {
    ScriptedLine line;
    line.pieces = {{1001, kFrame.substr(0, 4)}, {1010, kFrame.substr(4)}};
    std::vector<unsigned char> got;
    EXPECT_EQ(line.Collect(180, 0, got), 4u);
    EXPECT_EQ(line.reads, 1);
    EXPECT_EQ(line.waits, std::vector<std::uint32_t>{1u});

    // A reply 100 ms late is missed, although the first-byte deadline
    // would have waited for it.
    ScriptedLine late;
    late.pieces = {{1100, kFrame}};
    EXPECT_EQ(late.Collect(180, 0, got), 0u);
    EXPECT_EQ(late.reads, 1);
    EXPECT_EQ(late.now, 1001u);

    ScriptedLine silent;
    EXPECT_EQ(silent.Collect(180, 0, got), 0u);
    EXPECT_EQ(silent.reads, 1);
}

TEST(CollectReply, TheByteBudgetAndTheLimitEndItWhateverArrives) {
    // A full buffer is the end: the rest is not waited for.
    ScriptedLine full;
    full.pieces = {{1001, std::string(40, 'z')}};
    std::vector<unsigned char> got;
    EXPECT_EQ(full.Collect(180, 300, got, 32), 32u);
    EXPECT_EQ(full.now, 1001u);
    EXPECT_EQ(full.reads, 1);

    // A byte every millisecond with room for all: the limit ends it, not
    // the bytes, and the reads stop there.
    ScriptedLine babbling;
    for (std::uint32_t t = 1001; t <= 5000; ++t) babbling.pieces.push_back({t, "y"});
    EXPECT_EQ(babbling.Collect(50, 100, got, 8192, CollectionLimit(50, 100, 8192, 0)), 150u);
    EXPECT_EQ(babbling.now, 1150u);

    // A frame that ends the collection early is not cut by the limit.
    ScriptedLine clean;
    clean.pieces = {{1010, kFrame}};
    EXPECT_EQ(clean.Collect(180, 1000, got, 1024, CollectionLimit(180, 1000, 1024, 4800)), 16u);
}

TEST(CollectionLimit, DeadlineWaitTimeAndTheBudgetOnTheLine) {
    EXPECT_EQ(CollectionLimit(180, 1000, 0, 4800), 1180u);
    EXPECT_EQ(CollectionLimit(180, 1000, 4800, 4800), 11180u);  // 10 bits a byte
    EXPECT_EQ(CollectionLimit(180, 1000, 65536, 0), 1180u);     // no baud rate adds nothing
    EXPECT_EQ(CollectionLimit(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1), 0x7FFFFFFFu);
}

TEST(CollectReply, TickCounterWrapsAround) {
    ScriptedLine line;
    line.now = 0xFFFFFFF0u;
    line.pieces = {{0xFFFFFFF0u + 40u, kFrame}};  // arrives after the wrap
    std::vector<unsigned char> got;
    EXPECT_EQ(line.Collect(180, 1000, got), 16u);
}

}  // namespace
}  // namespace talvo

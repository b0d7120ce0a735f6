// Frame codec and the request frame built by the command object.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "serial/serial_port.h"
#include "shell/module_state.h"
#include "settings_file.h"

namespace talvo {
namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

std::string PairOf(std::int32_t v) {
    unsigned char b[2];
    PutHexPair(b, 0, v);
    return std::string(b, b + 2);
}

TEST(HexPair, EncodesTheLowByteInUpperCase) {
    EXPECT_EQ(PairOf(0x141), "41");
    EXPECT_EQ(PairOf(5), "05");
    EXPECT_EQ(PairOf(255), "FF");
    EXPECT_EQ(PairOf(-1), "FF");
    EXPECT_EQ(PairOf(0x4D), "4D");
}

TEST(HexPair, DecodesWithoutValidating) {
    const auto b = Bytes("4D4d00FF");
    EXPECT_EQ(GetHexPair(b.data(), 0), 0x4D);
    EXPECT_EQ(GetHexPair(b.data(), 2), 0x6D);  // lower case gives what the arithmetic gives
    EXPECT_EQ(GetHexPair(b.data(), 4), 0x00);
    EXPECT_EQ(GetHexPair(b.data(), 6), 0xFF);
}

TEST(Checksum, LeavesOutStxAndStopsAtEtx) {
    const auto header = Bytes("\x02" "000110000000");
    EXPECT_EQ(FrameChecksum(header.data(), static_cast<std::uint32_t>(header.size())), 0x42);
    const auto withStx = Bytes("\x02" "000110000000" "A\x02" "B");
    EXPECT_EQ(FrameChecksum(withStx.data(), static_cast<std::uint32_t>(withStx.size())),
              static_cast<unsigned char>(0x42 + 'A' + 'B'));
    const auto withEtx = Bytes("\x02" "000110000000" "A\x03" "B");
    EXPECT_EQ(FrameChecksum(withEtx.data(), static_cast<std::uint32_t>(withEtx.size())),
              static_cast<unsigned char>(0x42 + 'A'));
}

// Request frames of a line whose settings say how many filler bytes follow.
class RequestFrame : public ::testing::Test {
protected:
    Line line{std::make_unique<SerialPort>(), false};
    void Filler(std::uint32_t n) { line.timing.filler = n; }
};

TEST_F(RequestFrame, WorkedExample) {
    Filler(2);
    TerminalCommand c(line, 0x10);
    const std::uint32_t n = c.BuildRequest(0, 1, 0x10, 0, 0, 0, nullptr, 0);
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(c.RequestFrame(), Bytes("\x02" "000110000000" "\x03" "4233"));
}

TEST_F(RequestFrame, FillerFollowsConvertP) {
    for (int p : {0, 30}) {
        Filler(static_cast<std::uint32_t>(p));
        TerminalCommand c(line, 0x22);
        const auto payload = Bytes("ABC");
        const std::uint32_t n = c.BuildRequest(0, 255, 0x22, 1, 2, 6, payload.data(), 3);
        EXPECT_EQ(n, 3u + static_cast<std::uint32_t>(p) + 16u);
        const auto& f = c.RequestFrame();
        EXPECT_EQ(std::string(f.begin() + 1, f.begin() + 16), "00FF22010206ABC");
        EXPECT_EQ(f[16], 0x03);
        EXPECT_EQ(std::string(f.begin() + 19, f.end()), std::string(static_cast<std::size_t>(p), '3'));
    }
}

TEST_F(RequestFrame, PayloadStxAndEtxInTheChecksum) {
    Filler(0);
    TerminalCommand c(line, 0x2C);
    const auto payload = Bytes("A\x02" "B\x03" "C");
    c.BuildRequest(0, 1, 0x2C, 0, 0, 0, payload.data(), 5);
    const auto& f = c.RequestFrame();
    // 0x242 for the header characters "00012C000000" differs from the worked
    // example only in "2C" for "10": '2' + 'C' - '1' - '0' = 0x14 more.
    const unsigned char header = static_cast<unsigned char>(0x42 + '2' + 'C' - '1' - '0');
    EXPECT_EQ(GetHexPair(f.data(), 19), static_cast<unsigned char>(header + 'A' + 'B'));
}

struct Extracted {
    std::uint32_t length;
    std::uint32_t start;
};

Extracted Extract(const std::string& received) {
    const auto b = Bytes(received);
    std::uint32_t start = 999;
    const std::uint32_t length = ExtractReply(b.data(), static_cast<std::uint32_t>(b.size()), start);
    return {length, start};
}

TEST(ExtractReply, FindsAndVerifiesTheFrame) {
    const std::string reply = "\x02" "0001GG000000" "\x03" "6F";
    auto r = Extract(reply);
    EXPECT_EQ(r.length, 16u);
    EXPECT_EQ(r.start, 0u);

    r = Extract("\x55\xAA\x31" + reply + "33");  // noise before, filler after
    EXPECT_EQ(r.length, 16u);
    EXPECT_EQ(r.start, 3u);

    r = Extract("\x33" + reply + "33");
    EXPECT_EQ(r.length, 16u);
    EXPECT_EQ(r.start, 1u);
}

TEST(ExtractReply, RejectsDamagedFrames) {
    EXPECT_EQ(Extract("0001GG000000\x03" "6F").length, 0u);                  // no STX
    EXPECT_EQ(Extract("\x02" "0001GG000000").length, 0u);                    // no ETX
    EXPECT_EQ(Extract("\x02" "0001GG000000" "\x03" "6").length, 0u);         // checksum cut short
    EXPECT_EQ(Extract("\x02" "0001GG000000" "\x03" "6E").length, 0u);        // wrong checksum
    // ETX at offset 12 from the STX: header incomplete even with a matching sum.
    const std::string shortHeader = "\x02" "0001GG00000";
    unsigned char sum = FrameChecksum(reinterpret_cast<const unsigned char*>(shortHeader.data()), 12);
    EXPECT_EQ(Extract(shortHeader + "\x03" + PairOf(sum)).length, 0u);
    // A payload byte 0x03 ends the frame early, so the checksum is looked
    // for in the wrong place.
    EXPECT_EQ(Extract("\x02" "0001GG000001" "A\x03" "B" "\x03" "00").length, 0u);
}

TEST(ExtractReply, AFrameThatDoesNotVerifyGivesWayToTheNextStx) {
    const std::string reply = "\x02" "0001GG000000" "\x03" "6F";
    // A stray STX, a frame's start cut off, and a whole frame with a bad
    // checksum ahead of the reply: the reply is found behind each.
    for (const std::string& ahead : {std::string("\x02" "12"), std::string("\x02" "0001G"),
                                     std::string("\x02" "0001GG000000" "\x03" "6E")}) {
        const auto r = Extract(ahead + reply);
        EXPECT_EQ(r.length, 16u) << ahead.size();
        EXPECT_EQ(r.start, ahead.size());
    }
    // A frame that verifies at the first STX is the one found, whatever
    // follows it; a doubled STX verifies there (no STX is summed), as ever.
    Extracted r = Extract("\x02" + reply);
    EXPECT_EQ(r.length, 17u);
    EXPECT_EQ(r.start, 0u);
    const std::string other = "\x02" "0002GG000000" "\x03" "70";
    ASSERT_EQ(Extract(other).length, 16u);
    r = Extract(reply + other);
    EXPECT_EQ(r.start, 0u);
    // A frame still arriving behind a stray STX is not a reply yet.
    EXPECT_EQ(Extract("\x02" "12" + reply.substr(0, 15)).length, 0u);
    EXPECT_EQ(Extract(std::string("\x02\x02\x02")).length, 0u);
}

TEST(ExtractReply, LowerCaseChecksumOfAFrameThatNeedsLetters) {
    // The checksum 0x6F written "6f" decodes to 0x8F and fails.
    const std::string body = "\x02" "0001GG000000";
    unsigned char sum = FrameChecksum(reinterpret_cast<const unsigned char*>(body.data()), 13);
    std::string pair = PairOf(sum);
    ASSERT_EQ(pair, "6F");
    EXPECT_EQ(Extract(body + "\x03" + "6f").length, 0u);
    EXPECT_EQ(Extract(body + "\x03" + "6F").length, 16u);
}

TEST(Amount, EncodesAsThePairsInReverse) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {{1234.5f, "503412"}, {12.3f, "301200"},   {0.0f, "000000"}, {0.05f, "050000"},
                          {1234.56f, "563412"}, {9999.99f, "999999"}, {10000.0f, ".00010"}, {-12.3f, "30120-"}};
    for (const Case& c : cases) {
        unsigned char out[8] = {};
        EncodeAmount(out, 1, c.value);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 1), 6), c.text) << c.value;
    }
}

TEST(Amount, DecodesTheSixCharacters) {
    auto decode = [](const std::string& s) { return DecodeAmount(reinterpret_cast<const unsigned char*>(s.data()), 0); };
    EXPECT_DOUBLE_EQ(decode("503412"), 1234.5);
    EXPECT_DOUBLE_EQ(decode("563412"), 1234.56);
    EXPECT_DOUBLE_EQ(decode("301200"), 12.3);
    EXPECT_DOUBLE_EQ(decode("000000"), 0.0);
    EXPECT_DOUBLE_EQ(decode(".00010"), 1000.0);  // 10000 does not survive the trip
    EXPECT_DOUBLE_EQ(decode("30120-"), 0.0);     // nor does a negative amount
    EXPECT_DOUBLE_EQ(decode("ABCDEF"), 0.0);
    EXPECT_DOUBLE_EQ(decode("0012  "), 12.0);    // "  12.00": leading blanks are skipped
    EXPECT_DOUBLE_EQ(decode("001 23"), 231.0);   // "231 .00" stops at the blank
    EXPECT_DOUBLE_EQ(decode("00120x"), 0.0);     // "0x12.00": no hexadecimal form
}

TEST(Amount, RoundTripsEveryCentOfARange) {
    for (int cents = 0; cents <= 999999; cents += 997) {
        const float value = static_cast<float>(cents) / 100.0f;
        unsigned char out[6];
        EncodeAmount(out, 0, value);
        EXPECT_EQ(static_cast<int>(DecodeAmount(out, 0) * 100.0 + 0.5), cents);
    }
}

}  // namespace
}  // namespace talvo

namespace talvo {
namespace {

TEST(Diagnostics, TextsStayInTheirBuffers) {
    std::vector<unsigned char> frame(1024, 0xAB);
    frame[0] = 0x02;
    const std::string sent = SendDiagnostic(frame.data(), 1024, 3);
    EXPECT_LE(sent.size() + 3 + 1, 300u);
    EXPECT_EQ(sent.substr(0, 8), ", 2, AB,");
    EXPECT_EQ(sent.substr(sent.size() - 3), "...");
    const std::string received = ReceiveDiagnostic(frame.data(), 1024);
    EXPECT_LE(received.size() + 1, 800u);
    EXPECT_EQ(received.substr(0, 19), "Len=1024,Recp:-2-AB");
    EXPECT_EQ(received.substr(received.size() - 3), "...");
    // A short frame is shown whole.
    const unsigned char reply[] = {0x02, 0x30, 0x03};
    EXPECT_EQ(ReceiveDiagnostic(reply, 3), "Len=3,Recp:-2-30-3");
    EXPECT_EQ(SendDiagnostic(reply, 3, 3), ", 2, 30, 3");
    EXPECT_EQ(ReceiveDiagnostic(reply, 0), "Len=0,Recp:");
}

}  // namespace
}  // namespace talvo

// The command families end to end: the exact request each export sends, and
// what it hands back for accepted, refused and failed exchanges.
#include <cstring>
#include <string>

#include "line_fixture.h"

namespace talvo::test {
namespace {

using host::FreeHostBlock;
using host::HostBlockSize;

// ---- Blacklist -------------------------------------------------------------

using Blacklist = LineTest;

TEST_F(Blacklist, AddCountsWholeEntriesAndSendsEverything) {
    EXPECT_EQ(lib().AddHMD(1, "123456ABCDEF"), 1);
    EXPECT_EQ(lib().AddHMD(1, "654321FEDCBAx"), 1);
    EXPECT_EQ(lib().AddHMD(1, ""), 1);
    auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], Request(1, 0x2C, 0, 0, 2, "123456ABCDEF"));
    EXPECT_EQ(frames[1], Request(1, 0x2C, 0, 0, 2, "654321FEDCBAx"));
    EXPECT_EQ(frames[2], Request(1, 0x2C, 0, 0, 0));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "123456ABCDEF654321FEDCBA");
    EXPECT_EQ(lib().AddHMD(1, nullptr), 0);
}

TEST_F(Blacklist, RemoveTakesExactlySixCharacters) {
    sim().Ok("set 1 blacklist 111111222222");
    EXPECT_EQ(lib().ReduHMD(1, "111111"), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x4C, 0, 0, 1, "111111"));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "222222");

    Settings({{"Repeat", "1"}});
    EXPECT_EQ(lib().InqStat(9), 0);  // leaves -3 as the last error
    sim().Ok("clearframes");
    EXPECT_EQ(lib().ReduHMD(1, "12345"), 0);
    EXPECT_EQ(lib().ReduHMD(1, "1234567"), 0);
    EXPECT_TRUE(sim().Frames().empty());
    EXPECT_EQ(lib().GetError(), -3) << "the last error stays";
}

TEST_F(Blacklist, SetWritesAtAPosition) {
    EXPECT_EQ(lib().SetHMD(1, 0x0102, "AAAAAABBBBBBCCCCCC", 3), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x24, 0x01, 0x02, 3, "AAAAAABBBBBBCCCCCC"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().SetHMD(1, 70000, "ZZZZZZ", 1), 1);  // 0x11170: the low 16 bits
    EXPECT_EQ(OnlyFrame(), Request(1, 0x24, 0x11, 0x70, 1, "ZZZZZZ"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().SetHMD(1, 0, "AAAAAA", -1), 0);
    EXPECT_TRUE(sim().Frames().empty());
}

TEST_F(Blacklist, ClearSendsCount65) {
    sim().Ok("set 1 blacklist 111111");
    EXPECT_EQ(lib().ClearHMD(1), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x44, 0, 0, 0x65));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "");
}

TEST_F(Blacklist, ReadHandsOverABlock) {
    sim().Ok("set 1 blacklist AAAAAABBBBBBCCCCCC");
    char* data = nullptr;
    int count = -1;
    EXPECT_EQ(lib().ReadHMD(1, 1, &data, &count), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x34, 0, 1, 0x20));
    ASSERT_EQ(count, 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, 12), "BBBBBBCCCCCC");
    if (HostBlockSize(data) != 0) {
        EXPECT_EQ(HostBlockSize(data), 12u);
    }
    FreeHostBlock(data);

    // Whatever the status; and position 0x0203 goes into the header.
    sim().Ok("fault 34 status NN");
    data = nullptr;
    EXPECT_EQ(lib().ReadHMD(1, 0x0203, &data, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(data, nullptr) << "no block for no entries";
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x34, 0x02, 0x03, 0x20));
}

TEST_F(Blacklist, ReadTakesOnlyTheEntriesThePayloadHolds) {
    sim().Ok("set 1 blacklist AAAAAABBBBBB");
    sim().Ok("fault 34 count 5");  // announces 5, carries 2
    char* data = nullptr;
    int count = -1;
    EXPECT_EQ(lib().ReadHMD(1, 0, &data, &count), 1);
    EXPECT_EQ(count, 2);
    ASSERT_NE(data, nullptr);
    FreeHostBlock(data);

    sim().Ok("fault 34 silence times=0");
    Settings({{"Repeat", "1"}});
    data = reinterpret_cast<char*>(&count);
    count = -1;
    EXPECT_EQ(lib().ReadHMD(1, 0, &data, &count), 0);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(lib().ReadHMD(1, 0, nullptr, &count), 0);
}

// ---- Card key --------------------------------------------------------------

using CardKey = LineTest;

TEST_F(CardKey, KeyTextEncoding) {
    struct Case {
        const char* text;
        const char* sent;
    };
    for (const Case& c : {Case{"", "740258"}, Case{"abcdef", "ABCDEF"}, Case{"12345678", "123456"},
                          Case{"12G456", "120456"}, Case{"12 45", "120458"}}) {
        sim().Ok("clearframes");
        lib().CheckKey(1, 7, 9, c.text);
        lib().SetKey(1, -1, 123456, c.text);
        auto frames = sim().Frames();
        ASSERT_EQ(frames.size(), 2u) << c.text;
        EXPECT_EQ(frames[0], Request(1, 0x61, 0, 0, 1, c.sent)) << c.text;
        EXPECT_EQ(frames[1], Request(1, 0x21, 0, 0, 1, c.sent)) << c.text;
    }
}

TEST_F(CardKey, CheckAgainstTheTerminalsKey) {
    EXPECT_EQ(lib().SetKey(1, 0, 0, "a1b2c3"), 1);
    EXPECT_EQ(sim().Ok("get 1 key"), "A1B2C3");
    EXPECT_EQ(lib().CheckKey(1, 0, 0, "A1B2C3"), 1);
    EXPECT_EQ(lib().CheckKey(1, 0, 0, "000000"), 0);
    EXPECT_EQ(lib().GetError(), 0) << "a refusal is a successful exchange";
    EXPECT_EQ(lib().CheckKey(1, 0, 0, nullptr), 0);
}

TEST_F(CardKey, Flags) {
    sim().Ok("set 1 flags 66006606");
    int flags[4] = {-1, -1, -1, -1};
    EXPECT_EQ(lib().Inqkey(1, flags), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x11, 0, 0, 0x10));
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 0);
    EXPECT_EQ(flags[2], 1);
    EXPECT_EQ(flags[3], 0);

    sim().Ok("fault 11 status NN");
    EXPECT_EQ(lib().Inqkey(1, flags), 1) << "the status is not examined";

    sim().Ok("fault 11 short 17");  // a 31-byte reply
    std::memset(flags, 0x7F, sizeof flags);
    EXPECT_EQ(lib().Inqkey(1, flags), 0);
    for (int f : flags) EXPECT_EQ(f, 0);
}

// ---- Price menu ------------------------------------------------------------

using PriceMenu = LineTest;

TEST_F(PriceMenu, WriteReadAndClear) {
    const float prices[] = {1234.56f, 12.5f};
    EXPECT_EQ(lib().Setmenu(1, prices, 2), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x26, 0, 0, 2, "563412501200"));

    float* back = nullptr;
    int count = -1;
    EXPECT_EQ(lib().ReadMenu(1, &back, &count), 1);
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x36, 0, 0, 0x10));
    ASSERT_EQ(count, 2);
    EXPECT_FLOAT_EQ(back[0], 1234.56f);
    EXPECT_FLOAT_EQ(back[1], 12.5f);
    if (HostBlockSize(back) != 0) {
        EXPECT_EQ(HostBlockSize(back), 8u);
    }
    FreeHostBlock(back);

    EXPECT_EQ(lib().Clearmenu(1), 1);
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x46, 0, 0, 0x65));
    back = nullptr;
    count = -1;
    EXPECT_EQ(lib().ReadMenu(1, &back, &count), 0) << "an empty menu";
    EXPECT_EQ(back, nullptr);
    EXPECT_EQ(count, -1);
}

TEST_F(PriceMenu, EmptyAndNegativeCounts) {
    EXPECT_EQ(lib().Setmenu(1, nullptr, 0), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x26, 0, 0, 0));
    sim().Ok("clearframes");
    const float price = 1.0f;
    EXPECT_EQ(lib().Setmenu(1, &price, -2), 0);
    EXPECT_TRUE(sim().Frames().empty());
}

TEST_F(PriceMenu, ReadTakesOnlyWholePrices) {
    sim().Ok("set 1 menu 563412501200");
    sim().Ok("fault 36 count 9");
    float* back = nullptr;
    int count = -1;
    EXPECT_EQ(lib().ReadMenu(1, &back, &count), 1);
    EXPECT_EQ(count, 2);
    FreeHostBlock(back);
}

TEST_F(PriceMenu, TheExportsKeepTheirReceiveBuffer) {
    // 169 prices make a reply of 1,030 bytes: more than the 1,024 the
    // exports collect into, so their read fails as it always has (the line
    // API reads it).
    sim().Ok("set 1 menu " + std::string(6 * 169, '1'));
    float* back = nullptr;
    int count = -1;
    EXPECT_EQ(lib().ReadMenu(1, &back, &count), 0);
    EXPECT_EQ(lib().GetError(), -2);
    sim().Ok("set 1 menu " + std::string(6 * 168, '1'));
    EXPECT_EQ(lib().ReadMenu(1, &back, &count), 1);
    EXPECT_EQ(count, 168);
    FreeHostBlock(back);
}

// ---- Subsidy list ----------------------------------------------------------

using Subsidy = LineTest;

TEST_F(Subsidy, Requests) {
    EXPECT_EQ(lib().ClearList(2 - 1), 1);
    EXPECT_EQ(lib().SetMaxbt(1, 150.5), 1);
    EXPECT_EQ(lib().SetMaxbt(1, 1234.565), 1);  // narrowed to float first: 1234.56
    EXPECT_EQ(lib().SetBtTime(1, "0800120018"), 1);
    EXPECT_EQ(lib().SetBtTime(1, ""), 1);
    const std::string e36(36, 'E');
    const std::string e40(40, 'F');
    EXPECT_EQ(lib().AddBtList(1, 258, e36.c_str()), 1);
    EXPECT_EQ(lib().AddBtList(1, 70000, e40.c_str()), 1);
    EXPECT_EQ(lib().AddBtList(1, 0, "ABCDEFGHIJK"), 1);
    auto f = sim().Frames();
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[0], Request(1, 0x4D, 0, 0, 0));
    EXPECT_EQ(f[1], Request(1, 0x2E, 0, 0, 0, "505001"));
    EXPECT_EQ(f[2], Request(1, 0x2E, 0, 0, 0, "563412"));
    EXPECT_EQ(f[3], Request(1, 0x2D, 0, 0, 0, "0800120018"));
    EXPECT_EQ(f[4], Request(1, 0x2D, 0, 0, 0));
    EXPECT_EQ(f[5], Request(1, 0x3D, 0x01, 0x02, 3, e36));
    EXPECT_EQ(f[6], Request(1, 0x3D, 0x11, 0x70, 3, e40));
    EXPECT_EQ(f[7], Request(1, 0x3D, 0, 0, 0, "ABCDEFGHIJK"));
}

TEST_F(Subsidy, RefusalsAndNulls) {
    sim().Ok("fault any status NN times=0");
    EXPECT_EQ(lib().ClearList(1), 0);
    EXPECT_EQ(lib().SetMaxbt(1, 20.0), 0);
    EXPECT_EQ(lib().SetBtTime(1, "x"), 0);
    EXPECT_EQ(lib().AddBtList(1, 0, "123456789012"), 0);
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(lib().SetBtTime(1, nullptr), 0);
    EXPECT_EQ(lib().AddBtList(1, 0, nullptr), 0);
}

// ---- Clock, time zones, lock -----------------------------------------------

using ClockZones = LineTest;

std::string Slots(std::initializer_list<const char*> zones) {
    std::string block(120, '\0');
    std::size_t k = 0;
    for (const char* z : zones) block.replace(15 * k++, std::strlen(z), z);
    return block;
}

TEST_F(ClockZones, SetAndReadTimeZones) {
    const std::string slots = Slots({"06:30", "11:00", "17:00", "20:00", "00:00", "00:00", "00:00", "00:00"});
    EXPECT_EQ(lib().SetTimeZone(1, slots.data()), 1);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x28, 0, 0, 8, "06301100170020000000000000000000"));

    char* block = nullptr;
    EXPECT_EQ(lib().ReadTimeZone(1, &block), 1);
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x38, 0, 0, 8));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 120), slots);
    if (HostBlockSize(block) != 0) {
        EXPECT_EQ(HostBlockSize(block), 120u);
    }
    FreeHostBlock(block);
}

TEST_F(ClockZones, ReadTimeZonesFromASilentTerminal) {
    Settings({{"Repeat", "1"}});
    char* block = nullptr;
    EXPECT_EQ(lib().ReadTimeZone(9, &block), 1);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 120), std::string(120, '\0'));
    EXPECT_EQ(lib().GetError(), -3);
    FreeHostBlock(block);
    const std::string slots = Slots({});
    EXPECT_EQ(lib().SetTimeZone(9, slots.data()), 1) << "always 1";
    EXPECT_EQ(lib().GetError(), -3);
}

TEST_F(ClockZones, SetAndReadTheClock) {
    for (const char* text : {"2000/01/08 23:37", "2000-01-08 23:37", "2000/01/08 23:37:45"}) {
        sim().Ok("clearframes");
        EXPECT_EQ(lib().SetMachTime(1, text), 1) << text;
        EXPECT_EQ(OnlyFrame(), Request(1, 0x2A, 0, 0, 6, "0001082337")) << text;
    }
    char timeText[16];
    std::memset(timeText, '#', sizeof timeText);
    EXPECT_EQ(lib().ReadMachTime(1, timeText), 1);
    EXPECT_STREQ(timeText, "00/01/08*23:37");
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x3A, 0, 0, 0));

    sim().Ok("clearframes");
    EXPECT_EQ(lib().SetMachTime(1, "2000/01/08 23:3"), 0) << "15 characters";
    EXPECT_TRUE(sim().Frames().empty());
    sim().Ok("fault 3A status NN");
    std::strcpy(timeText, "untouched");
    EXPECT_EQ(lib().ReadMachTime(1, timeText), 0);
    EXPECT_STREQ(timeText, "untouched");
}

TEST_F(ClockZones, BlockAndUnblock) {
    EXPECT_EQ(lib().BlockMach(1), 1);
    EXPECT_EQ(sim().Ok("get 1 blocked"), "1");
    EXPECT_EQ(lib().UnBlockMach(1), 1);
    EXPECT_EQ(sim().Ok("get 1 blocked"), "0");
    auto f = sim().Frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], Request(1, 0x2B, 0, 0, 0));
    EXPECT_EQ(f[1], Request(1, 0x3B, 0, 0, 0));
}

// ---- Attendance ------------------------------------------------------------

using Attendance = LineTest;

std::string AttendSlots() {
    std::string block(120, '\0');
    const char slot[15] = {'0', '8', ':', '0', '0', 0, '1', '2', ':', '0', '0', 0, '0', '1', 0};
    for (std::size_t k = 0; k < 8; ++k) std::memcpy(&block[15 * k], slot, 15);
    return block;
}

TEST_F(Attendance, ZonesRoundTrip) {
    std::string slots = AttendSlots();
    EXPECT_EQ(lib().SetAttendTimeZone(2, slots.data()), 1);
    std::string sent;
    for (int k = 0; k < 8; ++k) sent += "0800120001";
    EXPECT_EQ(OnlyFrame(), Request(2, 0x28, 0, 0, 8, sent));

    // Bytes outside the read positions do not matter.
    std::string noisy = slots;
    for (std::size_t k = 0; k < 8; ++k) {
        for (std::size_t i : {2u, 5u, 8u, 11u, 14u}) noisy[15 * k + i] = 'x';
    }
    sim().Ok("clearframes");
    EXPECT_EQ(lib().SetAttendTimeZone(2, noisy.data()), 1);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x28, 0, 0, 8, sent));

    char* block = nullptr;
    EXPECT_EQ(lib().ReadAttendTimeZone(2, &block), 1);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 120), slots);
    FreeHostBlock(block);
}

TEST_F(Attendance, Reasons) {
    const char reason[8] = {'A', 'B', 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F};
    EXPECT_EQ(lib().SetAttendReason(2, 3, reason), 1);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x28, 0, 0, 3, "41420F0F0F0F0F0F"));

    char back[10];
    std::memset(back, '#', sizeof back);
    EXPECT_EQ(lib().ReadAttendReason(2, 3, back), 1);
    EXPECT_STREQ(back, "AB");
    sim().Ok("set 2 reason4 0F414243444546FF");
    EXPECT_EQ(lib().ReadAttendReason(2, 4, back), 1);
    EXPECT_STREQ(back, "");
    sim().Ok("set 2 reason5 3132333435363738");
    std::memset(back, '#', sizeof back);
    EXPECT_EQ(lib().ReadAttendReason(2, 5, back), 1);
    EXPECT_STREQ(back, "12345678");
    EXPECT_EQ(back[9], '#');
}

TEST_F(Attendance, ReasonReplyMayTakeTwoSeconds) {
    // The settings allow 250 ms; the reason command waits up to 2000 ms for
    // a reply still arriving in pieces.
    sim().Ok("set 2 reason6 3132333435363738");
    sim().Ok("fault 38 split 3:300");
    char back[10];
    EXPECT_EQ(lib().ReadAttendReason(2, 6, back), 1);
    EXPECT_STREQ(back, "12345678");
}

TEST_F(Attendance, Clock) {
    EXPECT_EQ(lib().SetAttendTime(2, "20260315102030"), 1);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x2A, 0, 0, 1, "20260315102030"));
    EXPECT_EQ(lib().SetAttendTime(2, ""), 1);
    EXPECT_EQ(sim().Frames().back(), Request(2, 0x2A, 0, 0, 1));
    sim().Ok("set 2 aclock 20260315102030");
    char text[16];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(lib().ReadAttendTime(2, text), 1);
    // The terminal's clock runs on from the time set: that second or one a
    // little later.
    EXPECT_EQ(std::string(text, 12), "202603151020");
    EXPECT_GE(std::string(text, 14), "20260315102030");
    EXPECT_EQ(text[14], '#') << "no terminator is written";
}

}  // namespace
}  // namespace talvo::test

// Status, memory clear, the CMW text and the mdeb amount, end to end.
#include <cstring>

#include "line_fixture.h"

namespace talvo::test {
namespace {

using Parameters = LineTest;

TEST_F(Parameters, InqStatAndClearRamRequests) {
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().ClearRAM(1), 1);
    auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Request(1, 0x10, 0, 0, 0));
    EXPECT_EQ(frames[1], Request(1, 0x4A, 0, 0, 0x65));
    sim().Ok("fault 4A status NN");
    EXPECT_EQ(lib().ClearRAM(1), 0);
    EXPECT_EQ(lib().GetError(), 0);
}

TEST_F(Parameters, ReadCmw) {
    sim().Ok("set 1 cmw ABCDEFGHIJKL");
    char text[16];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(lib().ReadCMW(1, text), 1);
    EXPECT_STREQ(text, "ABCDEFGHIJKL");
    EXPECT_EQ(text[13], '#');
    EXPECT_EQ(OnlyFrame(), Request(1, 0x32, 0, 0, 6));

    // The text is taken whatever the status says.
    sim().Ok("set 1 cmw 123456789012");
    sim().Ok("fault 32 status NN");
    EXPECT_EQ(lib().ReadCMW(1, text), 1);
    EXPECT_STREQ(text, "123456789012");

    // A reply with fewer than 12 characters is refused; the buffer stays.
    sim().Ok("fault 32 short 2");
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(lib().ReadCMW(1, text), 0);
    EXPECT_EQ(text[0], '#');

    EXPECT_EQ(lib().ReadCMW(1, nullptr), 0);
}

TEST_F(Parameters, SetCmwPadsAndCuts) {
    struct Case {
        const char* text;
        const char* sent;
    };
    for (const Case& c : {Case{"", "000000000000"}, Case{"AB", "AB0000000000"},
                          Case{"ABCDEFGHIJKLMNO", "ABCDEFGHIJKL"}}) {
        sim().Ok("clearframes");
        EXPECT_EQ(lib().Setcmw(1, c.text), 1);
        EXPECT_EQ(OnlyFrame(), Request(1, 0x22, 0, 0, 6, c.sent));
        EXPECT_EQ(sim().Ok("get 1 cmw"), c.sent);
    }
    EXPECT_EQ(lib().Setcmw(1, nullptr), 0);
}

TEST_F(Parameters, ReadMdeb) {
    sim().Ok("set 1 mdeb 563412");
    float amount = -1.0f;
    EXPECT_EQ(lib().Readmdeb(1, &amount), 1);
    EXPECT_FLOAT_EQ(amount, 1234.56f);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x33, 0, 0, 3));

    // Refused: the amount is written, the result is 0.
    sim().Ok("set 1 mdeb 501200");
    sim().Ok("fault 33 status NN");
    EXPECT_EQ(lib().Readmdeb(1, &amount), 0);
    EXPECT_FLOAT_EQ(amount, 12.5f);

    // A 21-byte reply carries no amount.
    sim().Ok("fault 33 short 1");
    amount = -1.0f;
    EXPECT_EQ(lib().Readmdeb(1, &amount), 0);
    EXPECT_EQ(amount, -1.0f);
}

TEST_F(Parameters, SetMdebEncodesTheAmount) {
    struct Case {
        float amount;
        const char* sent;
    };
    for (const Case& c : {Case{1234.56f, "563412"}, Case{12.5f, "501200"}, Case{0.0f, "000000"},
                          Case{9999.99f, "999999"}}) {
        sim().Ok("clearframes");
        EXPECT_EQ(lib().Setmdeb(1, c.amount), 1);
        EXPECT_EQ(OnlyFrame(), Request(1, 0x23, 0, 0, 1, c.sent));
    }
    float back = 0;
    EXPECT_EQ(lib().Readmdeb(1, &back), 1);
    EXPECT_FLOAT_EQ(back, 9999.99f);
}

TEST_F(Parameters, FailedExchangesLeaveOutputsAlone) {
    sim().Ok("fault any silence times=0");
    Settings({{"Repeat", "1"}});
    char text[16] = "untouched";
    float amount = 7.0f;
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().ClearRAM(1), 0);
    EXPECT_EQ(lib().ReadCMW(1, text), 0);
    EXPECT_EQ(lib().Setcmw(1, "X"), 0);
    EXPECT_EQ(lib().Readmdeb(1, &amount), 0);
    EXPECT_EQ(lib().Setmdeb(1, 1.0f), 0);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(amount, 7.0f);
    EXPECT_EQ(lib().GetError(), -3);
}

}  // namespace
}  // namespace talvo::test

// A reply counts only when it comes from the terminal that was asked: frames
// of other terminals on the line (one that answers late, after its own
// command gave up) are passed over, through the 43 exports and the line API;
// the check can be switched off for terminals that leave the field unfilled.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "line_fixture.h"

namespace talvo::test {
namespace {

const char* kStore = "terminal_check.dat";

std::string Raw(const std::string& card, const std::string& amount) {
    return card + amount + "32" + "24" + "0930" + "005000";
}

// The card numbers of the store's records, in order.
std::string StoredCards() {
    std::ifstream in(kStore, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string f = s.str();
    std::string cards;
    for (std::size_t at = 16; at + 44 <= f.size(); at += 44) cards += f.substr(at + 4, 6) + " ";
    return cards;
}

class TerminalCheck : public LineTest {
protected:
    void SetUp() override {
        LineTest::SetUp();
        sim().Ok("add 3 consumption");
        sim().Ok("set 1 cmw TERMINAL1AAA");
        sim().Ok("set 3 cmw TERMINAL3BBB");
        std::remove(kStore);
    }
    void TearDown() override { std::remove(kStore); }
    std::string Cmw(int terminal, int& result) {
        char text[13] = "untouched...";
        result = lib().ReadCMW(terminal, text);
        return text;
    }
};

TEST_F(TerminalCheck, AnotherTerminalsFrameAheadOfTheReplyIsPassedOver) {
    sim().Ok("fault 32 foreign 3");
    int result = 0;
    EXPECT_EQ(Cmw(1, result), "TERMINAL1AAA");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(sim().Frames().size(), 1u) << "the right reply came within the same exchange";
}

TEST_F(TerminalCheck, OnlyAnotherTerminalsFrameIsNoReply) {
    sim().Ok("fault 32 as 3 times=0");
    int result = 1;
    EXPECT_EQ(Cmw(1, result), "untouched...");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(lib().GetError(), -3) << "nothing of terminal 1's came";
    EXPECT_EQ(sim().Frames().size(), 3u);
    // A terminal number that no terminal on the line has behaves the same.
    sim().Ok("clearfaults");
    sim().Ok("fault 10 as 200 times=0");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -3);
}

TEST_F(TerminalCheck, ALateBatchOfAnotherTerminalIsNeitherStoredNorConfirmed) {
    sim().Ok("record 1 seal " + Raw("000011", "001000"));
    sim().Ok("record 1 seal " + Raw("000012", "002000"));
    for (const char* card : {"000031", "000032", "000033"}) sim().Ok(std::string("record 3 seal ") + Raw(card, "003000"));
    sim().Ok("fault 37 foreign 3");
    int count = -1;
    float total = -1;
    ASSERT_EQ(lib().AutoReadJyzm(1, &count, &total, kStore), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(StoredCards(), "000011 000012 ");
    EXPECT_EQ(sim().Ok("get 1 records"), "0") << "terminal 1's own batch was confirmed";
    EXPECT_EQ(sim().Ok("get 3 records"), "3") << "terminal 3's batch was not cleared";
    ASSERT_EQ(lib().AutoReadJyzm(3, &count, &total, kStore), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(StoredCards(), "000011 000012 000031 000032 000033 ");
}

TEST_F(TerminalCheck, CheckTerminalZeroTakesAnyTerminalsReply) {
    Settings({{"CheckTerminal", "0"}});
    sim().Ok("fault 32 as 3");
    int result = 0;
    EXPECT_EQ(Cmw(1, result), "TERMINAL3BBB");
    EXPECT_EQ(result, 1);
    Settings({{"CheckTerminal", "1"}});
    sim().Ok("fault 32 as 3");
    EXPECT_EQ(Cmw(1, result), "TERMINAL1AAA") << "the second try got the right reply";
}

}  // namespace
}  // namespace talvo::test

// The line API end to end against the software terminal: the request each
// function sends, what it hands back, what it refuses without sending, and
// lines used from several threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "line_fixture.h"

namespace talvo::test {
namespace {

// The library loaded without opening the settings file's port, as a host
// that uses lines only does; every test gets a fresh line on the terminal.
class LineApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        settings_ = std::make_unique<SettingsFile>();
        lib_ = std::make_unique<HostLibrary>();
        SetEnv("TALVO_DEFER_PORT", "1");
        lib_->Load();
        SetEnv("TALVO_DEFER_PORT", nullptr);
    }
    static void TearDownTestSuite() {
        lib_.reset();
        settings_.reset();
    }
    void SetUp() override {
        if (!Sim::Get().Available()) GTEST_SKIP() << "no software terminal";
        ASSERT_TRUE(lib_->Loaded());
        sim().Ok("reset");
        sim().Ok("add 1 consumption");
        sim().Ok("add 2 attendance");
        ASSERT_EQ(Open(Sim::Get().PortName(), &line_), 0);
    }
    void TearDown() override {
        if (line_ != nullptr) lib().talvo_line_close(line_);
    }

    int Open(const std::string& device, talvo_line** line, std::uint32_t tries = 3) {
        talvo_line_options o;
        lib().talvo_line_options_init(&o);
        o.device = device.c_str();
        o.baud = 9600;
        o.echo_time_ms = 60;
        o.wait_time_ms = 250;
        o.tries = tries;
        return lib().talvo_line_open(&o, line);
    }
    // Reopens the test's line with another number of tries.
    void Tries(std::uint32_t tries) {
        lib().talvo_line_close(line_);
        line_ = nullptr;
        ASSERT_EQ(Open(Sim::Get().PortName(), &line_, tries), 0);
    }

    static Sim& sim() { return Sim::Get(); }
    static HostLibrary& lib() { return *lib_; }
    talvo_line* line() { return line_; }
    std::string OnlyFrame() {
        auto frames = sim().Frames();
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? std::string() : frames.back();
    }
    void NothingSent() { EXPECT_TRUE(sim().Frames().empty()); }

    static std::unique_ptr<SettingsFile> settings_;
    static std::unique_ptr<HostLibrary> lib_;
    talvo_line* line_ = nullptr;
};

std::unique_ptr<SettingsFile> LineApi::settings_;
std::unique_ptr<HostLibrary> LineApi::lib_;

// ---- Lines ----------------------------------------------------------------

TEST_F(LineApi, OptionsStartFromTheSettingsDefaults) {
    talvo_line_options o;
    std::memset(&o, 0xAB, sizeof o);
    lib().talvo_line_options_init(&o);
    EXPECT_EQ(o.size, sizeof o);
    EXPECT_STREQ(o.device, "COM2");
    EXPECT_EQ(o.baud, 4800u);
    EXPECT_STREQ(o.line_format, "parity=N data=8 stop=1");
    EXPECT_EQ(o.echo_time_ms, 150u);
    EXPECT_EQ(o.wait_time_ms, 1000u);
    EXPECT_EQ(o.tries, 3u);
    EXPECT_EQ(o.filler_bytes, 2u);
}

TEST_F(LineApi, HandlesAreCheckedAndNeverReused) {
    talvo_line* stale = line_;
    EXPECT_EQ(lib().talvo_line_close(line_), 0);
    line_ = nullptr;
    EXPECT_EQ(lib().talvo_line_close(stale), TALVO_E_CLOSED) << "closed twice";
    EXPECT_EQ(lib().talvo_status(stale, 1), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_status(nullptr, 1), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_line_close(nullptr), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_line_last_error(stale), TALVO_E_CLOSED);
    // A new line never answers to the old handle.
    ASSERT_EQ(Open(Sim::Get().PortName(), &line_), 0);
    EXPECT_NE(line_, stale);
    EXPECT_EQ(lib().talvo_status(stale, 1), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_F(LineApi, OpenSaysWhyItFailed) {
    talvo_line* other = reinterpret_cast<talvo_line*>(1);
#ifdef _WIN32
    EXPECT_EQ(Open("COM99", &other), TALVO_E_NO_DEVICE);
#else
    EXPECT_EQ(Open("/dev/talvo-no-such-device", &other), TALVO_E_NO_DEVICE);
#endif
    EXPECT_EQ(other, nullptr);
    // The system's reason, for the thread that asked.
    char why[200] = "x";
    EXPECT_EQ(lib().talvo_line_error_text(nullptr, why, sizeof why), 0);
#ifdef _WIN32
    EXPECT_EQ(std::string(why).rfind("cannot open COM99: ", 0), 0u) << why;
#else
    EXPECT_STREQ(why, "cannot open /dev/talvo-no-such-device: No such file or directory");
#endif
    char small[7];
    EXPECT_EQ(lib().talvo_line_error_text(nullptr, small, sizeof small), 0);
    EXPECT_STREQ(small, "cannot");
    std::string elsewhere = "x";
    std::thread([&] {
        char text[64] = "x";
        lib().talvo_line_error_text(nullptr, text, sizeof text);
        elsewhere = text;
    }).join();
    EXPECT_EQ(elsewhere, "") << "another thread opened nothing";
    EXPECT_EQ(lib().talvo_line_error_text(line_, why, sizeof why), 0);
    EXPECT_STREQ(why, "") << "the test's line opened";
    EXPECT_EQ(lib().talvo_line_error_text(nullptr, nullptr, 10), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_line_error_text(nullptr, why, 0), TALVO_E_INVALID);

    talvo_line_options o;
    lib().talvo_line_options_init(&o);
    o.device = Sim::Get().PortName().c_str();
    o.tries = 0;
    EXPECT_EQ(lib().talvo_line_open(&o, &other), TALVO_E_INVALID);
    o.tries = 3;
    o.check_terminal = 2;
    EXPECT_EQ(lib().talvo_line_open(&o, &other), TALVO_E_INVALID);
    o.check_terminal = 1;
    o.size = 4;
    EXPECT_EQ(lib().talvo_line_open(&o, &other), TALVO_E_INVALID) << "options smaller than any version's";
    o.size = sizeof o + 4;
    EXPECT_EQ(lib().talvo_line_open(&o, &other), TALVO_E_INVALID) << "options of a later version";
    EXPECT_EQ(lib().talvo_line_open(nullptr, &other), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_line_open(&o, nullptr), TALVO_E_INVALID);
#ifndef _WIN32
    // Wine lets a second open of a COM port through; Linux does not.
    EXPECT_EQ(Open(Sim::Get().PortName(), &other), TALVO_E_BUSY);
#endif
}

TEST_F(LineApi, OptionsInitWritesNoFurtherThanTheHostsStructure) {
    // The exported function, as a host built against 1.1 calls it: the 1.1
    // structure and not a byte beyond.
    talvo_line_options o;
    std::memset(&o, 0xAB, sizeof o);
    (lib().talvo_line_options_init)(&o);
    EXPECT_EQ(o.size, offsetof(talvo_line_options, check_terminal));
    EXPECT_EQ(o.tries, 3u);
    EXPECT_EQ(o.check_terminal, 0xABABABABu) << "a byte beyond the 1.1 structure was written";
    // Through this header's macro: the whole structure the host knows.
    std::memset(&o, 0xAB, sizeof o);
    lib().talvo_line_options_init(&o);
    EXPECT_EQ(o.size, sizeof o);
    EXPECT_EQ(o.check_terminal, 1u);
    std::memset(&o, 0xAB, sizeof o);
    lib().talvo_line_options_init_size(&o, 8);
    EXPECT_EQ(o.size, 8u);
    EXPECT_EQ(o.baud, 0xABABABABu);
}

TEST_F(LineApi, OptionsOfAnOlderHostTakeTheDefaultsOfWhatTheyLack) {
    // A host built against 1.1 knows the options up to out_queue.
    talvo_line_options o;
    lib().talvo_line_options_init(&o);
    o.device = Sim::Get().PortName().c_str();
    o.baud = 9600;
    o.echo_time_ms = 60;
    o.wait_time_ms = 250;
    o.size = static_cast<std::uint32_t>(offsetof(talvo_line_options, check_terminal));
    o.check_terminal = 0;  // beyond the size given: not read
    lib().talvo_line_close(line_);
    line_ = nullptr;
    ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0);
    sim().Ok("fault 10 as 3 times=0");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_NO_REPLY) << "the terminal check is on";
}

TEST_F(LineApi, ErrorTextsForEveryCode) {
    for (int code = 0; code >= TALVO_E_INTERNAL; --code) {
        if (code == -5) continue;
        const std::string text = lib().talvo_strerror(code);
        EXPECT_NE(text, "unknown error") << code;
        EXPECT_FALSE(text.empty());
    }
    EXPECT_STREQ(lib().talvo_strerror(12345), "unknown error");
    EXPECT_STREQ(lib().talvo_version(), "1.2.0");
    EXPECT_EQ(lib().talvo_version_number(), TALVO_VERSION_NUMBER);
}

// ---- Status, parameters, refusals -------------------------------------------

TEST_F(LineApi, StatusAndMemory) {
    EXPECT_EQ(lib().talvo_status(line(), 1), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x10, 0, 0, 0));
    EXPECT_EQ(lib().talvo_line_last_error(line()), 0);
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_clear_memory(line(), 1), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x4A, 0, 0, 101));

    sim().Ok("clearframes");
    sim().Ok("fault 10 status NN");
    EXPECT_EQ(lib().talvo_status(line(), 1), TALVO_E_REFUSED);
    Tries(1);
    EXPECT_EQ(lib().talvo_status(line(), 9), TALVO_E_NO_REPLY) << "no terminal 9";
    EXPECT_EQ(lib().talvo_line_last_error(line()), TALVO_E_NO_REPLY);
}

TEST_F(LineApi, TerminalNumbersOutsideOneByteAreRefused) {
    for (int t : {256, -1, 257, 1 << 20}) {
        EXPECT_EQ(lib().talvo_status(line(), t), TALVO_E_INVALID) << t;
        EXPECT_EQ(lib().talvo_clear_memory(line(), t), TALVO_E_INVALID) << t;
    }
    NothingSent();
}

TEST_F(LineApi, CmwAndMdeb) {
    EXPECT_EQ(lib().talvo_cmw_set(line(), 1, "HELLO"), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x22, 0, 0, 6, "HELLO0000000"));
    char text[13];
    EXPECT_EQ(lib().talvo_cmw_read(line(), 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "HELLO0000000");

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_mdeb_set(line(), 1, 123450), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x23, 0, 0, 1, "503412"));
    std::int32_t cents = -1;
    EXPECT_EQ(lib().talvo_mdeb_read(line(), 1, &cents), 0);
    EXPECT_EQ(cents, 123450);

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_mdeb_set(line(), 1, 1000000), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_mdeb_set(line(), 1, -1), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_cmw_set(line(), 1, "1234567890123"), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_cmw_set(line(), 1, ""), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_cmw_set(line(), 1, nullptr), TALVO_E_INVALID);
    char small[12] = "untouched";
    EXPECT_EQ(lib().talvo_cmw_read(line(), 1, small, sizeof small), TALVO_E_BUFFER);
    EXPECT_STREQ(small, "untouched");
    EXPECT_EQ(lib().talvo_mdeb_read(line(), 1, nullptr), TALVO_E_INVALID);
    NothingSent();
}

TEST_F(LineApi, CardKey) {
    EXPECT_EQ(lib().talvo_key_set(line(), 1, "a1b2c3"), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x21, 0, 0, 1, "A1B2C3"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_key_check(line(), 1, "A1B2C3"), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x61, 0, 0, 1, "A1B2C3"));
    sim().Ok("clearframes");
    std::int32_t flags[4] = {-1, -1, -1, -1};
    sim().Ok("set 1 flags 66006666");
    EXPECT_EQ(lib().talvo_key_flags(line(), 1, flags, 4), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x11, 0, 0, 16));
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 0);
    EXPECT_EQ(flags[2], 1);
    EXPECT_EQ(flags[3], 1);

    sim().Ok("clearframes");
    for (const char* bad : {"12345", "12345G", "", " 12345"}) {
        EXPECT_EQ(lib().talvo_key_set(line(), 1, bad), TALVO_E_INVALID) << bad;
    }
    EXPECT_EQ(lib().talvo_key_flags(line(), 1, flags, 3), TALVO_E_BUFFER);
    NothingSent();
    // Six characters are read, never a seventh: the key needs no terminator.
    const char unterminated[6] = {'a', 'b', 'c', '1', '2', '3'};
    EXPECT_EQ(lib().talvo_key_set(line(), 1, unterminated), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x21, 0, 0, 1, "ABC123"));
}

TEST_F(LineApi, Blacklist) {
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "111111222222", 2), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x2C, 0, 0, 2, "111111222222"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_blacklist_remove(line(), 1, "111111"), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x4C, 0, 0, 1, "111111"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_blacklist_set(line(), 1, 0x0102, "AAAAAABBBBBB", 2), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x24, 1, 2, 2, "AAAAAABBBBBB"));

    sim().Ok("set 1 blacklist AAAAAABBBBBBCCCCCC");
    sim().Ok("clearframes");
    char cards[6 * 32];
    std::size_t n = 99;
    EXPECT_EQ(lib().talvo_blacklist_read(line(), 1, 1, cards, 32, &n), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x34, 0, 1, 32));
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(std::string(cards, 12), "BBBBBBCCCCCC");
    // Room for one card: nothing written, the number that did not fit.
    char one[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(lib().talvo_blacklist_read(line(), 1, 0, one, 1, &n), TALVO_E_BUFFER);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(one, 6), "xxxxxx");

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_blacklist_clear(line(), 1), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x44, 0, 0, 101));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "");

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "111111", 0), TALVO_E_INVALID);
    std::string many(6 * 256, '1');
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, many.c_str(), 256), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "12345\0" "111111", 2), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_blacklist_remove(line(), 1, "12345"), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_blacklist_set(line(), 1, 65536, "111111", 1), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_blacklist_read(line(), 1, 0, nullptr, 1, &n), TALVO_E_INVALID);
    NothingSent();
    // Six characters are read, never a seventh: the card needs no terminator.
    const char unterminated[6] = {'6', '5', '4', '3', '2', '1'};
    EXPECT_EQ(lib().talvo_blacklist_remove(line(), 1, unterminated), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x4C, 0, 0, 1, "654321"));
}

TEST_F(LineApi, AStrayStxAheadOfTheReplyIsPassedOver) {
    for (const char* kind : {"stx", "cutstart"}) {
        sim().Ok(std::string("fault 10 ") + kind);
        EXPECT_EQ(lib().talvo_status(line(), 1), 0) << kind;
    }
    EXPECT_EQ(sim().Frames().size(), 2u);
}

TEST_F(LineApi, AnUnansweredAddIsReconciledNotRepeated) {
    sim().Ok("set 1 blacklist AAAAAA");
    // Carried out, its answer lost: the list read back holds the cards, and
    // they are not sent again.
    sim().Ok("fault 2C silence");
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "111111222222", 2), 0);
    auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Request(1, 0x2C, 0, 0, 2, "111111222222"));
    EXPECT_EQ(frames[1], Request(1, 0x34, 0, 0, 32));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "AAAAAA111111222222");

    // Lost on its way: only the cards the list lacks go again.
    sim().Ok("clearframes");
    sim().Ok("fault 2C deaf");
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "111111333333", 2), 0);
    frames = sim().Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2], Request(1, 0x2C, 0, 0, 1, "333333"));
    EXPECT_EQ(sim().Ok("get 1 blacklist"), "AAAAAA111111222222333333");

    // Never answered: as many adds as the line has tries, then its failure.
    sim().Ok("clearframes");
    sim().Ok("fault 2C deaf times=0");
    EXPECT_EQ(lib().talvo_blacklist_add(line(), 1, "444444", 1), TALVO_E_NO_REPLY);
    frames = sim().Frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), Request(1, 0x2C, 0, 0, 1, "444444")), 3);

    // A subsidy add is sent once: its entries are not stored twice.
    sim().Ok("clearfaults");
    sim().Ok("clearframes");
    sim().Ok("fault 3D silence");
    EXPECT_EQ(lib().talvo_subsidy_add(line(), 1, 0, "AAAAAAAAAAAA", 1), TALVO_E_NO_REPLY);
    EXPECT_EQ(sim().Frames().size(), 1u);
    EXPECT_EQ(sim().Ok("get 1 subsidy"), "AAAAAAAAAAAA");
}

TEST_F(LineApi, PriceMenu) {
    const std::int32_t prices[3] = {150, 0, 999999};
    EXPECT_EQ(lib().talvo_menu_set(line(), 1, prices, 3), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x26, 0, 0, 3, "500100" "000000" "999999"));
    std::int32_t back[8] = {};
    std::size_t n = 0;
    EXPECT_EQ(lib().talvo_menu_read(line(), 1, back, 8, &n), 0);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(back[0], 150);
    EXPECT_EQ(back[1], 0);
    EXPECT_EQ(back[2], 999999);
    EXPECT_EQ(lib().talvo_menu_read(line(), 1, back, 2, &n), TALVO_E_BUFFER);
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_menu_clear(line(), 1), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x46, 0, 0, 101));
    EXPECT_EQ(lib().talvo_menu_read(line(), 1, back, 8, &n), 0);
    EXPECT_EQ(n, 0u) << "an empty menu is not an error";

    sim().Ok("clearframes");
    const std::int32_t bad[2] = {100, 1000000};
    EXPECT_EQ(lib().talvo_menu_set(line(), 1, bad, 2), TALVO_E_INVALID) << "one bad price refuses the list";
    const std::int32_t negative[1] = {-5};
    EXPECT_EQ(lib().talvo_menu_set(line(), 1, negative, 1), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_menu_set(line(), 1, prices, 256), TALVO_E_INVALID);
    NothingSent();
}

TEST_F(LineApi, TheLongestMenuReadsBack) {
    // 255 prices: a reply of 1,546 bytes.
    for (std::size_t count : {std::size_t{169}, std::size_t{255}}) {
        std::vector<std::int32_t> prices(count);
        for (std::size_t i = 0; i < count; ++i) prices[i] = static_cast<std::int32_t>(100 + 7 * i);
        ASSERT_EQ(lib().talvo_menu_set(line(), 1, prices.data(), count), 0);
        std::vector<std::int32_t> back(256, -1);
        std::size_t n = 0;
        EXPECT_EQ(lib().talvo_menu_read(line(), 1, back.data(), back.size(), &n), 0) << count;
        ASSERT_EQ(n, count);
        back.resize(n);
        EXPECT_EQ(back, prices);
    }
}

TEST_F(LineApi, Subsidy) {
    EXPECT_EQ(lib().talvo_subsidy_clear(line(), 1), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x4D, 0, 0, 0));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_subsidy_set_max(line(), 1, 15050), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x2E, 0, 0, 0, "505001"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_subsidy_set_time(line(), 1, "0800-1700"), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x2D, 0, 0, 0, "0800-1700"));
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_subsidy_add(line(), 1, 258, "AAAAAAAAAAAABBBBBBBBBBBB", 2), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x3D, 1, 2, 2, "AAAAAAAAAAAABBBBBBBBBBBB"));

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_subsidy_set_max(line(), 1, 1000000), TALVO_E_INVALID);
    const std::string longText(1025, 'x');
    EXPECT_EQ(lib().talvo_subsidy_set_time(line(), 1, longText.c_str()), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_subsidy_add(line(), 1, 0, "AAAAAAAAAAAA", 0), TALVO_E_INVALID);
    NothingSent();
}

TEST_F(LineApi, ClockZonesAndLock) {
    const talvo_datetime when{2026, 12, 7, 9, 5, 30};
    EXPECT_EQ(lib().talvo_clock_set(line(), 1, &when), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x2A, 0, 0, 6, "2612070905"));
    talvo_datetime back{};
    EXPECT_EQ(lib().talvo_clock_read(line(), 1, &back), 0);
    EXPECT_EQ(back.year, 2026);
    EXPECT_EQ(back.month, 12);
    EXPECT_EQ(back.day, 7);
    EXPECT_EQ(back.hour, 9);
    EXPECT_EQ(back.minute, 5);

    sim().Ok("clearframes");
    talvo_time_of_day zones[TALVO_ZONES] = {{6, 30}, {11, 0}, {17, 0}, {20, 0}, {0, 0}, {0, 0}, {0, 0}, {23, 59}};
    EXPECT_EQ(lib().talvo_zones_set(line(), 1, zones, TALVO_ZONES), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x28, 0, 0, 8, "06301100170020000000000000002359"));
    talvo_time_of_day read[TALVO_ZONES] = {};
    EXPECT_EQ(lib().talvo_zones_read(line(), 1, read, TALVO_ZONES), 0);
    EXPECT_EQ(read[0].hour, 6);
    EXPECT_EQ(read[0].minute, 30);
    EXPECT_EQ(read[7].hour, 23);
    EXPECT_EQ(read[7].minute, 59);

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_lock(line(), 1), 0);
    EXPECT_EQ(lib().talvo_unlock(line(), 1), 0);
    auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Request(1, 0x2B, 0, 0, 0));
    EXPECT_EQ(frames[1], Request(1, 0x3B, 0, 0, 0));

    sim().Ok("clearframes");
    for (talvo_datetime bad : {talvo_datetime{2025, 2, 29, 0, 0, 0}, talvo_datetime{2026, 13, 1, 0, 0, 0},
                               talvo_datetime{2100, 1, 1, 0, 0, 0}, talvo_datetime{2026, 1, 1, 24, 0, 0},
                               talvo_datetime{2026, 1, 1, 0, 60, 0}}) {
        EXPECT_EQ(lib().talvo_clock_set(line(), 1, &bad), TALVO_E_INVALID) << bad.year << "-" << bad.month;
    }
    const talvo_datetime leap{2028, 2, 29, 0, 0, 0};
    zones[2] = {25, 0};
    EXPECT_EQ(lib().talvo_zones_set(line(), 1, zones, TALVO_ZONES), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_zones_set(line(), 1, zones, 7), TALVO_E_INVALID);
    // Eight zones, no more and no fewer, for reading as for writing.
    EXPECT_EQ(lib().talvo_zones_read(line(), 1, read, 7), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_zones_read(line(), 1, read, 9), TALVO_E_INVALID);
    NothingSent();
    EXPECT_EQ(lib().talvo_clock_set(line(), 1, &leap), 0) << "29 February of a leap year";
}

TEST_F(LineApi, Attendance) {
    talvo_attend_zone zones[TALVO_ZONES] = {};
    for (auto& z : zones) std::memcpy(z.code, "00", 3);
    zones[0] = {{8, 0}, {12, 0}, "01"};
    EXPECT_EQ(lib().talvo_attend_zones_set(line(), 2, zones, TALVO_ZONES), 0);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x28, 0, 0, 8, "0800120001" + std::string(70, '0')));
    talvo_attend_zone read[TALVO_ZONES] = {};
    EXPECT_EQ(lib().talvo_attend_zones_read(line(), 2, read, TALVO_ZONES), 0);
    EXPECT_EQ(read[0].start.hour, 8);
    EXPECT_EQ(read[0].end.hour, 12);
    EXPECT_STREQ(read[0].code, "01");

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_attend_reason_set(line(), 2, 3, "AB"), 0);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x28, 0, 0, 3, "41420F0F0F0F0F0F"));
    char reason[9] = "xxxxxxxx";
    EXPECT_EQ(lib().talvo_attend_reason_read(line(), 2, 3, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "AB");

    sim().Ok("clearframes");
    const talvo_datetime when{2026, 12, 7, 9, 5, 30};
    EXPECT_EQ(lib().talvo_attend_clock_set(line(), 2, &when), 0);
    EXPECT_EQ(OnlyFrame(), Request(2, 0x2A, 0, 0, 1, "20261207090530"));
    talvo_datetime back{};
    EXPECT_EQ(lib().talvo_attend_clock_read(line(), 2, &back), 0);
    EXPECT_EQ(back.second, 30);
    EXPECT_EQ(back.year, 2026);

    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_attend_reason_set(line(), 2, 3, "123456789"), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_attend_reason_set(line(), 2, 256, "A"), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_attend_reason_read(line(), 2, 3, reason, 8), TALVO_E_BUFFER);
    zones[1].code[1] = '\0';
    EXPECT_EQ(lib().talvo_attend_zones_set(line(), 2, zones, TALVO_ZONES), TALVO_E_INVALID);
    NothingSent();
}

// ---- Records ----------------------------------------------------------------

// First 26 characters of a record: card, amount, type and month digits,
// day, time, second amount.
std::string Raw(const std::string& card, const std::string& amount, const std::string& typeMonth = "32") {
    return card + amount + typeMonth + "24" + "0930" + "005000";
}

TEST_F(LineApi, FetchWithoutConfirmLeavesTheBatch) {
    sim().Ok("record 1 seal " + Raw("000001", "501200"));  // 12.50, type 13
    sim().Ok("record 1 seal " + Raw("000002", "001000", "02"));  // 10.00, type 05
    sim().Ok("record 1 damaged " + Raw("000003", "001000"));
    sim().Ok("record 1 seal " + Raw("CLEAR0", "001000"));
    talvo_record records[6];
    std::size_t n = 0;
    talvo_batch batch{};
    ASSERT_EQ(lib().talvo_records_fetch(line(), 1, records, 6, &n, &batch), 0);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(batch.count, 4);
    EXPECT_EQ(batch.kept, 2);
    EXPECT_EQ(batch.status[0], TALVO_RAW_KEPT);
    EXPECT_EQ(batch.status[2], TALVO_RAW_DAMAGED);
    EXPECT_EQ(batch.status[3], TALVO_RAW_UNWANTED);
    EXPECT_EQ(std::string(batch.raw[2], 6), "000003");
    EXPECT_STREQ(records[0].card, "000001");
    EXPECT_EQ(records[0].type, TALVO_RECORD_DEPOSIT);
    EXPECT_EQ(records[0].amount_cents, 1250);
    EXPECT_EQ(records[0].second_amount_cents, 5000);
    EXPECT_EQ(records[0].month, 12);
    EXPECT_EQ(records[0].day, 24);
    EXPECT_EQ(records[0].hour, 9);
    EXPECT_EQ(records[0].minute, 30);
    EXPECT_EQ(records[1].type, TALVO_RECORD_PAYMENT);
    EXPECT_EQ(records[1].amount_cents, -1000);
    for (const std::string& f : sim().Frames()) EXPECT_NE(f.substr(5, 2), "47") << "nothing confirmed";
    EXPECT_EQ(sim().Ok("get 1 records"), "4");

    // Fetched again: the same records under the same mark.
    talvo_batch again{};
    ASSERT_EQ(lib().talvo_records_fetch(line(), 1, records, 6, &n, &again), 0);
    EXPECT_EQ(again.mark, batch.mark);
    EXPECT_EQ(std::memcmp(again.raw, batch.raw, sizeof batch.raw), 0);

    // A batch that is not the one fetched is refused without a frame.
    sim().Ok("clearframes");
    talvo_batch wrong = again;
    wrong.mark ^= 1;
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &wrong), TALVO_E_BATCH);
    wrong = again;
    wrong.raw[0][3] ^= 1;
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &wrong), TALVO_E_BATCH);
    EXPECT_EQ(lib().talvo_records_confirm(line(), 2, &again), TALVO_E_BATCH);
    NothingSent();

    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &again), 0);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x47, again.mark >> 8, again.mark & 0xFF, 4));
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &again), TALVO_E_BATCH) << "confirmed once only";
    ASSERT_EQ(lib().talvo_records_fetch(line(), 1, records, 6, &n, &batch), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(batch.count, 0);
}

TEST_F(LineApi, ConfirmationsThatFail) {
    sim().Ok("record 1 seal " + Raw("000001", "501200"));
    talvo_record records[6];
    std::size_t n = 0;
    talvo_batch batch{};
    ASSERT_EQ(lib().talvo_records_fetch(line(), 1, records, 6, &n, &batch), 0);
    sim().Ok("fault 47 wrongmark");
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &batch), TALVO_E_UNCONFIRMED);
    sim().Ok("fault 47 status NN");
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &batch), TALVO_E_REFUSED);
    EXPECT_EQ(sim().Ok("get 1 records"), "1");
    EXPECT_EQ(lib().talvo_records_confirm(line(), 1, &batch), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");

    // Room for fewer records than the batch keeps: nothing is written.
    sim().Ok("record 1 seal " + Raw("000001", "501200"));
    sim().Ok("record 1 seal " + Raw("000002", "501200"));
    talvo_record one[1];
    one[0].terminal = 77;
    EXPECT_EQ(lib().talvo_records_fetch(line(), 1, one, 1, &n, &batch), TALVO_E_BUFFER);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(one[0].terminal, 77);
}

TEST_F(LineApi, RecordsTravelToAStoreAndBack) {
    const char* path = "line-api-store.dat";
    std::remove(path);
    sim().Ok("record 1 seal " + Raw("000001", "501200"));
    sim().Ok("record 1 seal " + Raw("000002", "001000", "02"));
    std::size_t stored = 0;
    ASSERT_EQ(lib().talvo_records_collect(line(), 1, path, &stored), 0);
    EXPECT_EQ(stored, 2u);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");

    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(path, &store), 0);
    std::size_t count = 0;
    EXPECT_EQ(lib().talvo_store_count(store, &count), 0);
    EXPECT_EQ(count, 2u);
    talvo_record back[4];
    std::size_t n = 0;
    EXPECT_EQ(lib().talvo_store_read(store, 1, back, 4, &n), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_STREQ(back[0].card, "000002");
    EXPECT_EQ(back[0].amount_cents, -1000);
    EXPECT_EQ(back[0].terminal, 1);
    EXPECT_EQ(lib().talvo_store_close(store), 0);

    // Appended by the host, read back field for field.
    talvo_record mine = back[0];
    std::strcpy(mine.card, "777777");
    mine.amount_cents = 999999;
    ASSERT_EQ(lib().talvo_store_append(path, &mine, 1), 0);
    unsigned char raw44[44];
    ASSERT_EQ(lib().talvo_record_to_store(&mine, raw44), 0);
    talvo_record decoded{};
    ASSERT_EQ(lib().talvo_record_from_store(raw44, &decoded), 0);
    EXPECT_EQ(std::memcmp(&decoded, &mine, sizeof mine), 0);
    ASSERT_EQ(lib().talvo_store_open(path, &store), 0);
    EXPECT_EQ(lib().talvo_store_count(store, &count), 0);
    EXPECT_EQ(count, 3u);
    lib().talvo_store_close(store);

    mine.type = 7;
    EXPECT_EQ(lib().talvo_record_to_store(&mine, raw44), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_store_append(path, &mine, 1), TALVO_E_INVALID);
    std::remove(path);
    EXPECT_EQ(lib().talvo_store_open(path, &store), TALVO_E_STORE);
    EXPECT_EQ(store, nullptr);
}

// The reader takes what the writer takes: an empty file is a store without
// records; records come back across the reader's blocks in order, and one
// that does not read as a transaction comes back zeroed in its place.
TEST_F(LineApi, StoreReaderAgreesWithTheWriter) {
    const char* path = "line-api-reader.dat";
    auto write = [&](const std::string& bytes) {
        std::FILE* f = std::fopen(path, "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    auto count = [&](int expected) {
        talvo_store* store = nullptr;
        const int rc = lib().talvo_store_open(path, &store);
        std::size_t n = 0;
        if (rc == 0) lib().talvo_store_count(store, &n);
        lib().talvo_store_close(store);
        return rc == expected ? static_cast<long>(n) : -1L - rc;
    };
    write("");
    EXPECT_EQ(count(0), 0);
    write("CASED");
    EXPECT_EQ(count(0), 0);
    write("XXXXX");
    EXPECT_EQ(count(TALVO_E_STORE), 0);

    write("");
    std::vector<talvo_record> mine(2100);
    for (std::size_t i = 0; i < mine.size(); ++i) {
        talvo_record& r = mine[i];
        r = talvo_record{};
        r.terminal = 1;
        const std::string card = std::to_string(1000000 + i).substr(1);  // six digits
        std::memcpy(r.card, card.c_str(), card.size() + 1);
        r.type = TALVO_RECORD_PAYMENT;
        r.amount_cents = -static_cast<std::int32_t>(i + 1);
        r.year = 2026;
        r.month = 12;
        r.day = 7;
        r.hour = 9;
        r.minute = 30;
    }
    ASSERT_EQ(lib().talvo_store_append(path, mine.data(), mine.size()), 0);
    {
        // Record 1500's type field overwritten with one no record has.
        std::FILE* f = std::fopen(path, "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 16 + 44 * 1500 + 11, SEEK_SET);
        std::fwrite("99", 1, 2, f);
        std::fclose(f);
    }
    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(path, &store), 0);
    std::vector<talvo_record> back(mine.size() + 10);
    std::size_t n = 0;
    ASSERT_EQ(lib().talvo_store_read(store, 0, back.data(), back.size(), &n), 0);
    ASSERT_EQ(n, mine.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 1500) {
            EXPECT_EQ(back[i].type, 0);
            EXPECT_STREQ(back[i].card, "");
            continue;
        }
        ASSERT_EQ(std::memcmp(&back[i], &mine[i], sizeof mine[i]), 0) << "record " << i;
    }
    ASSERT_EQ(lib().talvo_store_read(store, 2099, back.data(), 5, &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_STREQ(back[0].card, "002099");
    lib().talvo_store_close(store);
    std::remove(path);
}

// A record the store takes, for the store tests below.
talvo_record StorableRecord(const char* card) {
    talvo_record r{};
    r.terminal = 1;
    std::strcpy(r.card, card);
    r.type = TALVO_RECORD_PAYMENT;
    r.amount_cents = -1250;
    r.second_amount_cents = 500;
    r.year = 2026;
    r.month = 2;
    r.day = 1;
    r.hour = 0;
    r.minute = 0;
    return r;
}

// Store handles are numbers never used again, as line handles are: closing
// twice, or any call on a closed or unknown handle, is TALVO_E_CLOSED.
TEST_F(LineApi, StoreHandlesAreCheckedAndNeverReused) {
    const char* path = "line-api-handles.dat";
    std::remove(path);
    const talvo_record mine = StorableRecord("000001");
    ASSERT_EQ(lib().talvo_store_append(path, &mine, 1), 0);

    talvo_store* stale = nullptr;
    ASSERT_EQ(lib().talvo_store_open(path, &stale), 0);
    ASSERT_NE(stale, nullptr);
    EXPECT_EQ(lib().talvo_store_close(stale), 0);
    EXPECT_EQ(lib().talvo_store_close(stale), TALVO_E_CLOSED) << "closed twice";
    std::size_t count = 77;
    talvo_record back[2];
    std::size_t n = 77;
    EXPECT_EQ(lib().talvo_store_count(stale, &count), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_store_read(stale, 0, back, 2, &n), TALVO_E_CLOSED);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(lib().talvo_store_close(nullptr), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_store_count(nullptr, &count), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_store_read(nullptr, 0, back, 2, &n), TALVO_E_CLOSED);
    // A handle the library never gave, and a line handle, are no stores.
    talvo_store* unknown = reinterpret_cast<talvo_store*>(static_cast<std::uintptr_t>(0x7FFF1235));
    EXPECT_EQ(lib().talvo_store_count(unknown, &count), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_store_close(unknown), TALVO_E_CLOSED);

    // A new store never answers to the old handle.
    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(path, &store), 0);
    EXPECT_NE(store, stale);
    EXPECT_EQ(lib().talvo_store_count(stale, &count), TALVO_E_CLOSED);
    EXPECT_EQ(lib().talvo_store_count(store, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lib().talvo_store_count(store, nullptr), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_store_close(store), 0);
    std::remove(path);
}

// Many threads open, read and close stores, one store is read by several
// threads at once while another closes it: every call answers 0 or
// TALVO_E_CLOSED (the address sanitizer watches the memory).
TEST_F(LineApi, StoreHandlesFromManyThreads) {
    const char* path = "line-api-threads.dat";
    std::remove(path);
    std::vector<talvo_record> mine;
    for (int i = 0; i < 50; ++i) mine.push_back(StorableRecord(std::to_string(100000 + i).c_str()));
    ASSERT_EQ(lib().talvo_store_append(path, mine.data(), mine.size()), 0);

    std::atomic<int> wrong{0};
    for (int round = 0; round < 20; ++round) {
        talvo_store* shared = nullptr;
        ASSERT_EQ(lib().talvo_store_open(path, &shared), 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                talvo_record back[50];
                std::size_t n = 0;
                for (int i = 0; i < 10; ++i) {
                    const int rc = lib().talvo_store_read(shared, 0, back, 50, &n);
                    if (rc != 0 && rc != TALVO_E_CLOSED) ++wrong;
                    if (rc == 0 && (n != 50 || std::strcmp(back[49].card, "100049") != 0)) ++wrong;
                    // A store of this thread's own, closed twice.
                    talvo_store* own = nullptr;
                    if (lib().talvo_store_open(path, &own) != 0) ++wrong;
                    std::size_t count = 0;
                    if (lib().talvo_store_count(own, &count) != 0 || count != 50) ++wrong;
                    if (lib().talvo_store_close(own) != 0) ++wrong;
                    if (lib().talvo_store_close(own) != TALVO_E_CLOSED) ++wrong;
                    if (t == 0 && i == 5) {
                        const int closed = lib().talvo_store_close(shared);
                        if (closed != 0) ++wrong;
                    }
                }
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(lib().talvo_store_close(shared), TALVO_E_CLOSED);
    }
    EXPECT_EQ(wrong.load(), 0);
    std::remove(path);
}

// Only a regular file is a store.  A FIFO (on Linux) or a pipe or device
// (on Windows) is refused at once with TALVO_E_STORE, by the reader and by
// the writer; neither waits for the other end.
TEST_F(LineApi, StoreRefusesWhatIsNotARegularFile) {
    const talvo_record mine = StorableRecord("000001");
    talvo_store* store = nullptr;
    EXPECT_EQ(lib().talvo_store_open(".", &store), TALVO_E_STORE);
    EXPECT_EQ(lib().talvo_store_append(".", &mine, 1), TALVO_E_STORE);

    // Opens `path` as a store on a thread; `unblock` sets free an open that
    // waits.  TALVO_E_STORE expected, in time.
    auto openInTime = [&](const std::string& path, auto unblock) {
        std::atomic<int> result{1};
        std::atomic<bool> done{false};
        std::thread opener([&] {
            talvo_store* s = nullptr;
            result = lib().talvo_store_open(path.c_str(), &s);
            if (result == 0) lib().talvo_store_close(s);
            done = true;
        });
        for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool inTime = done;
        if (!inTime) unblock();
        opener.join();
        EXPECT_TRUE(inTime) << path << ": the open waited";
        EXPECT_EQ(result.load(), TALVO_E_STORE) << path;
    };
#ifdef _WIN32
    for (const char* device : {"NUL", "CON"}) {
        openInTime(device, [] {});
        EXPECT_EQ(lib().talvo_store_append(device, &mine, 1), TALVO_E_STORE) << device;
    }
    const std::string pipe = "\\\\.\\pipe\\talvo-line-api-" + std::to_string(::GetCurrentProcessId());
    HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES,
                                       4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    openInTime(pipe, [&] {
        const char byte = 0;
        DWORD written = 0;
        ::WriteFile(server, &byte, 1, &written, nullptr);
    });
    EXPECT_EQ(lib().talvo_store_append(pipe.c_str(), &mine, 1), TALVO_E_STORE);
    ::CloseHandle(server);
#else
    openInTime("/dev/null", [] {});
    EXPECT_EQ(lib().talvo_store_append("/dev/null", &mine, 1), TALVO_E_STORE);
    const char* fifo = "line-api-fifo";
    std::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo, 0600), 0);
    openInTime(fifo, [&] {
        const int writer = ::open(fifo, O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    });
    EXPECT_EQ(lib().talvo_store_append(fifo, &mine, 1), TALVO_E_STORE);
    std::remove(fifo);
#endif
}

// Both amounts of an appended record must be what the store holds and
// hands back: -999999 to 999999 cents.  INT32_MIN was taken (its absolute
// value does not exist) and stored as -21,474,836.48.
TEST_F(LineApi, StoreAppendRefusesAmountsItCannotHold) {
    const char* path = "line-api-amounts.dat";
    std::remove(path);
    unsigned char raw44[44];
    for (const std::int32_t cents : {INT32_MIN, INT32_MIN + 1, -1000000, 1000000, INT32_MAX}) {
        talvo_record r = StorableRecord("000001");
        r.amount_cents = cents;
        EXPECT_EQ(lib().talvo_store_append(path, &r, 1), TALVO_E_INVALID) << cents;
        EXPECT_EQ(lib().talvo_record_to_store(&r, raw44), TALVO_E_INVALID) << cents;
        r = StorableRecord("000001");
        r.second_amount_cents = cents;
        EXPECT_EQ(lib().talvo_store_append(path, &r, 1), TALVO_E_INVALID) << "second " << cents;
        EXPECT_EQ(lib().talvo_record_to_store(&r, raw44), TALVO_E_INVALID) << "second " << cents;
    }
    talvo_store* store = nullptr;
    EXPECT_EQ(lib().talvo_store_open(path, &store), TALVO_E_STORE) << "nothing was written";

    std::vector<talvo_record> edges;
    for (const std::int32_t cents : {-999999, 999999, 0}) {
        talvo_record r = StorableRecord("000002");
        r.amount_cents = cents;
        r.second_amount_cents = -cents;
        edges.push_back(r);
    }
    ASSERT_EQ(lib().talvo_store_append(path, edges.data(), edges.size()), 0);
    ASSERT_EQ(lib().talvo_store_open(path, &store), 0);
    talvo_record back[3];
    std::size_t n = 0;
    ASSERT_EQ(lib().talvo_store_read(store, 0, back, 3, &n), 0);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(back[0].amount_cents, -999999);
    EXPECT_EQ(back[0].second_amount_cents, 999999);
    EXPECT_EQ(back[1].amount_cents, 999999);
    EXPECT_EQ(back[1].second_amount_cents, -999999);
    lib().talvo_store_close(store);
    std::remove(path);
}

// ---- Trace and threads --------------------------------------------------------

struct TraceLog {
    std::vector<std::string> lines;
    static void TALVO_CALL Add(void* user, int direction, std::int64_t time, int terminal, int command,
                               const unsigned char* bytes, std::size_t length) {
        auto* log = static_cast<TraceLog*>(user);
        char head[64];
        std::snprintf(head, sizeof head, "%d %d %02X %d ", direction, terminal, command, time > 0 ? 1 : 0);
        log->lines.push_back(head + std::string(reinterpret_cast<const char*>(bytes), length));
    }
};

TEST_F(LineApi, TraceHandsEveryFrameToTheHost) {
    TraceLog log;
    ASSERT_EQ(lib().talvo_line_set_trace(line(), &TraceLog::Add, &log), 0);
    EXPECT_EQ(lib().talvo_status(line(), 1), 0);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "0 1 10 1 " + Request(1, 0x10, 0, 0, 0) + "33");
    EXPECT_EQ(log.lines[1].substr(0, 9), "1 1 10 1 ");
    EXPECT_NE(log.lines[1].find("GG"), std::string::npos);
    ASSERT_EQ(lib().talvo_line_set_trace(line(), nullptr, nullptr), 0);
    EXPECT_EQ(lib().talvo_status(line(), 1), 0);
    EXPECT_EQ(log.lines.size(), 2u);
}

TEST_F(LineApi, CloseFromAnotherThreadStopsTheCalls) {
    std::atomic<int> lastResult{0};
    std::atomic<bool> started{false};
    std::thread caller([&] {
        for (int i = 0; i < 10000; ++i) {
            const int r = lib().talvo_status(line_, 1);
            started = true;
            lastResult = r;
            if (r == TALVO_E_CLOSED) break;
        }
    });
    while (!started) std::this_thread::yield();
    EXPECT_EQ(lib().talvo_line_close(line_), 0);
    caller.join();
    EXPECT_EQ(lastResult.load(), TALVO_E_CLOSED);
    line_ = nullptr;
}

#ifndef _WIN32
// Two lines, two terminals, two threads: each line's frames stay whole and
// the lines do not wait for each other (the time ratio is benchmarked, not
// asserted here).
TEST_F(LineApi, TwoLinesInParallel) {
    static Sim* second = Sim::Another();
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->Available());
    second->Ok("reset");
    second->Ok("add 1 consumption");
    talvo_line* other = nullptr;
    ASSERT_EQ(Open(second->PortName(), &other), 0);
    const int perLine = 60;
    std::vector<int> failures(2, 0);
    std::thread a([&] {
        for (int i = 0; i < perLine; ++i) failures[0] += lib().talvo_cmw_set(line_, 1, "LINEA") != 0;
    });
    std::thread b([&] {
        for (int i = 0; i < perLine; ++i) failures[1] += lib().talvo_cmw_set(other, 1, "LINEB") != 0;
    });
    a.join();
    b.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    for (const std::string& f : sim().Frames()) EXPECT_EQ(f, Request(1, 0x22, 0, 0, 6, "LINEA0000000"));
    for (const std::string& f : second->Frames()) EXPECT_EQ(f, Request(1, 0x22, 0, 0, 6, "LINEB0000000"));
    EXPECT_EQ(sim().Frames().size(), static_cast<std::size_t>(perLine));
    EXPECT_EQ(second->Frames().size(), static_cast<std::size_t>(perLine));
    EXPECT_EQ(lib().talvo_line_close(other), 0);
}
#endif

// Replies of other terminals through the line API (terminal 1 and 3 on the
// line, each with a text of its own).
class LineTerminalCheck : public LineApi {
protected:
    void SetUp() override {
        LineApi::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        sim().Ok("add 3 consumption");
        sim().Ok("set 1 cmw TERMINAL1AAA");
        sim().Ok("set 3 cmw TERMINAL3BBB");
    }
    int Open(std::uint32_t check, std::uint32_t tries = 3, std::uint32_t echo = 60) {
        lib().talvo_line_close(line_);
        line_ = nullptr;
        talvo_line_options o;
        lib().talvo_line_options_init(&o);
        o.device = Sim::Get().PortName().c_str();
        o.baud = 9600;
        o.echo_time_ms = echo;
        o.wait_time_ms = 600;
        o.tries = tries;
        o.check_terminal = check;
        return lib().talvo_line_open(&o, &line_);
    }
};

std::string RawRecord(const std::string& card, const std::string& amount) {
    return card + amount + "32" + "24" + "0930" + "005000";
}

TEST_F(LineTerminalCheck, RepliesOfOtherTerminals) {
    ASSERT_EQ(Open(1), 0);
    char text[13] = "untouched...";
    sim().Ok("fault 32 foreign 3");
    EXPECT_EQ(lib().talvo_cmw_read(line_, 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "TERMINAL1AAA");
    std::strcpy(text, "untouched...");
    sim().Ok("fault 32 as 3 times=0");
    EXPECT_EQ(lib().talvo_cmw_read(line_, 1, text, sizeof text), TALVO_E_NO_REPLY);
    EXPECT_STREQ(text, "untouched...");
    sim().Ok("clearfaults");

    ASSERT_EQ(Open(0), 0);
    sim().Ok("fault 32 as 3");
    EXPECT_EQ(lib().talvo_cmw_read(line_, 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "TERMINAL3BBB") << "with the check off the first valid frame is the reply";
}

TEST_F(LineTerminalCheck, ALateBatchIsNotFetchedForAnotherTerminal) {
    ASSERT_EQ(Open(1), 0);
    sim().Ok("record 1 seal " + RawRecord("000011", "001000"));
    for (const char* card : {"000031", "000032"}) sim().Ok(std::string("record 3 seal ") + RawRecord(card, "003000"));
    sim().Ok("fault 37 foreign 3");
    talvo_record records[6];
    std::size_t n = 0;
    talvo_batch batch{};
    ASSERT_EQ(lib().talvo_records_fetch(line_, 1, records, 6, &n, &batch), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_STREQ(records[0].card, "000011");
    ASSERT_EQ(lib().talvo_records_confirm(line_, 1, &batch), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    EXPECT_EQ(sim().Ok("get 3 records"), "2");
}

#ifndef _WIN32
// A terminal that answers after its command gave up, in the middle of the
// next command to another terminal: measured with real delays (Linux; under
// Wine the tick counter is too coarse for these margins).
TEST_F(LineTerminalCheck, ATerminalAnsweringLateDoesNotAnswerTheNextCommand) {
    ASSERT_EQ(Open(1, 1, 400), 0);
    sim().Ok("record 1 seal " + RawRecord("000011", "001000"));
    sim().Ok("record 3 seal " + RawRecord("000031", "003000"));
    // Terminal 3 answers 650 ms late; terminal 1 takes 300 ms.
    sim().Ok("fault 37 delay 650");
    sim().Ok("fault 37 delay 300");
    talvo_record records[6];
    std::size_t n = 0;
    talvo_batch batch{};
    EXPECT_EQ(lib().talvo_records_fetch(line_, 3, records, 6, &n, &batch), TALVO_E_NO_REPLY);
    ASSERT_EQ(lib().talvo_records_fetch(line_, 1, records, 6, &n, &batch), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_STREQ(records[0].card, "000011");
    EXPECT_EQ(batch.terminal, 1);
}
#endif

}  // namespace
}  // namespace talvo::test

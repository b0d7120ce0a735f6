// The tool's own pieces where a slip would pass unseen through the command
// line: the edges of the values it takes, and the store file when another
// collection works on it at the same time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "process.h"
#include "store_file.h"
#include "test_library.h"
#include "values.h"

namespace talvo::test {
namespace {

using namespace talvo::cli;
using namespace talvo::common;

TEST(Values, AmountsAreWholeCentsWithinTheEncoding) {
    const std::pair<const char*, std::int32_t> good[] = {
        {"0", 0}, {"0.00", 0}, {"9999.99", 999999}, {".5", 50}, {"5.", 500}, {"00012.30", 1230}, {"1234.56", 123456},
    };
    for (const auto& [text, cents] : good) {
        std::int32_t out = -1;
        EXPECT_EQ(ParseCents(text, out), "") << text;
        EXPECT_EQ(out, cents) << text;
    }
    for (const char* bad : {"", ".", "10000", "10000.00", "1.234", "-0.01", "+1", "1,5", "1e2", "0x10", " 1", "1 ",
                            "nan", "inf", "999999999999"}) {
        std::int32_t out = -1;
        EXPECT_NE(ParseCents(bad, out), "") << bad;
        EXPECT_EQ(out, -1) << bad << ": written although refused";
    }
    EXPECT_EQ(FormatCents(0), "0.00");
    EXPECT_EQ(FormatCents(-5), "-0.05");
    EXPECT_EQ(FormatCents(-123456), "-1234.56");
    EXPECT_EQ(FormatCents(INT64_MIN), "-92233720368547758.08");
    EXPECT_EQ(CentsOf(-0.0f), 0);
    EXPECT_EQ(CentsOf(103.01f), 10301);
    EXPECT_EQ(CentsOf(0.29f), 29);
}

TEST(Values, ClockTextsAreRealDatesAndTimes) {
    DateTime t;
    EXPECT_EQ(ParseClock("2028/02/29 23:59", t), "");
    EXPECT_EQ(t.year, 2028);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(ParseClock("2026-03-15T10:20", t), "");
    for (const char* bad : {"2026/02/29 10:00", "2026/04/31 10:00", "2026/00/10 10:00", "2026/13/01 10:00",
                            "2026/01/01 24:00", "2026/01/01 10:60", "1999/12/31 10:00", "2100/01/01 10:00",
                            "2026/01/01 10:00:00", "2026/1/01 10:00", "2026/01-01 10:00", "2026/01/01  10:0", ""}) {
        EXPECT_NE(ParseClock(bad, t), "") << bad;
    }
    EXPECT_EQ(ParseAttendClock("20000229235959", t), "");  // 2000 is a leap year
    EXPECT_EQ(t.second, 59);
    EXPECT_NE(ParseAttendClock("19000229120000", t), "");  // 1900 is not
    EXPECT_NE(ParseAttendClock("20260315102060", t), "");
    EXPECT_NE(ParseAttendClock("0999/01/01 00:00:00", t), "");
    EXPECT_NE(ParseAttendClock("2026031510203", t), "");
}

TEST(Values, ZonesKeysCardsAndRecords) {
    AttendZone z;
    EXPECT_EQ(ParseAttendZone("08:00-12:00/01", z), "");
    EXPECT_EQ(z.end.hour, 12);
    EXPECT_EQ(z.code, "01");
    for (const char* bad : {"08:00-12:00/1", "08:00-24:00/01", "08:00 12:00/01", "08:00-12:00/0 ", "8:00-12:00/01"}) {
        EXPECT_NE(ParseAttendZone(bad, z), "") << bad;
    }
    std::string key;
    EXPECT_EQ(ParseKey("a1B2c3", key), "");
    EXPECT_EQ(key, "A1B2C3");
    std::string card;
    EXPECT_NE(ParseCard("12345 ", card), "");
    EXPECT_EQ(ParseRawRecord("00123450341232240930005000bb"), "");
    EXPECT_NE(ParseRawRecord("00123450341232240930005000BG"), "");
    EXPECT_NE(ParseRawRecord("0012 450341232240930005000BB"), "");
    EXPECT_EQ(ParseLineFormat("stop=2 parity=E data=7"), "");
    EXPECT_NE(ParseLineFormat("parity=N parity=E"), "");
    std::string reason;
    EXPECT_NE(ParseReason(std::string("A\x0F"), reason), "") << "0x0F would end the reason on the line";
}

std::string Header(std::int32_t count) {
    std::string h("CASEDATA\0\0\0\0", 12);
    h.append(reinterpret_cast<const char*>(&count), 4);
    return h;
}

// The store file through the library, as the tool reads it.
class StoreFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lib_.Load()) << HostLibrary::Path(); }

    HostLibrary lib_;
    TempDir dir_;
};

TEST_F(StoreFile, BytesBehindTheCountAreLeftOver) {
    const std::string store = dir_ / "store.dat";
    // Five records written, three counted: two were withdrawn.
    std::ofstream(store, std::ios::binary) << Header(3) << std::string(5 * 44, 'r');
    std::string problem;
    EXPECT_EQ(StoreCount(lib_, store), 3);
    StoreReader reader(lib_);
    ASSERT_TRUE(reader.Open(store, problem)) << problem;
    EXPECT_EQ(reader.Leftover(), 2 * 44);
    EXPECT_EQ(StoreCount(lib_, dir_ / "none.dat"), 0) << "a store not made yet has no records";
    EXPECT_TRUE(CheckStoreUsable(dir_ / "none.dat", problem)) << problem;
}

TEST_F(StoreFile, ReaderSeeksAndStopsAtTheCountAcrossBlocks) {
    const std::string store = dir_ / "store.dat";
    std::vector<talvo_record> records(2000);
    for (std::size_t i = 0; i < records.size(); ++i) {
        talvo_record& r = records[i];
        r = talvo_record{1, {}, TALVO_RECORD_DEPOSIT, 100, 0, 2026, 3, 15, 10, 20};
        std::snprintf(r.card, sizeof r.card, "%06zu", 100000 + i);
    }
    ASSERT_EQ(lib_.talvo_store_append(store.c_str(), records.data(), records.size()), TALVO_OK);
    {
        // The last 500 withdrawn: the count set back to 1500.
        std::fstream f(store, std::ios::binary | std::ios::in | std::ios::out);
        const std::int32_t counted = 1500;
        f.seekp(12);
        f.write(reinterpret_cast<const char*>(&counted), 4);
    }
    std::string problem;
    StoreReader reader(lib_);
    ASSERT_TRUE(reader.Open(store, problem)) << problem;
    EXPECT_EQ(reader.Count(), 1500);
    EXPECT_EQ(reader.Leftover(), 500 * 44);
    ASSERT_TRUE(reader.Seek(1023, problem)) << problem;
    std::vector<std::string> cards;
    for (auto block = reader.Next(problem); !block.empty(); block = reader.Next(problem)) {
        for (const talvo_record& r : block) cards.emplace_back(r.card);
    }
    EXPECT_TRUE(problem.empty()) << problem;
    ASSERT_EQ(cards.size(), 1500u - 1023u) << "the withdrawn records are not read";
    EXPECT_EQ(cards.front(), "101023");
    EXPECT_EQ(cards.back(), "101499");
    EXPECT_FALSE(reader.Seek(1501, problem));
}

}  // namespace
}  // namespace talvo::test

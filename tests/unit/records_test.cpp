// Record decoding, the record filter, the bad-record log entry and the store
// file's layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "records/collection.h"
#include "records/record_store.h"
#include "records/transaction_record.h"
#include "talvo.h"

namespace talvo {
namespace {

platform::clock::LocalTime fakeNow{2026, 3, 15, 10, 20, 30, 0};
platform::clock::LocalTime FakeClock() { return fakeNow; }

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = {2026, 3, 15, 10, 20, 30, 0};
        SetRecordClock(&FakeClock);
    }
    void TearDown() override { SetRecordClock(nullptr); }

    TransactionRecord Decode(const std::string& raw, int terminal = 5) {
        TransactionRecord r;
        std::memset(&r, 0, sizeof r);
        DecodeRecord(reinterpret_cast<const unsigned char*>(raw.data()), terminal, r);
        return r;
    }
};

TEST_F(Decoding, WorkedExample) {
    const std::string raw = "00123450341232240930005000BB";
    EXPECT_TRUE(VerifyRawRecord(reinterpret_cast<const unsigned char*>(raw.data())));
    const TransactionRecord r = Decode(raw);
    EXPECT_STREQ(r.TerminalText, "005");
    EXPECT_STREQ(r.CardNumber, "001234");
    EXPECT_STREQ(r.TypeText, "13");
    EXPECT_FLOAT_EQ(r.Amount, 1234.5f);
    EXPECT_STREQ(r.DateText, "2025/12/24");
    EXPECT_STREQ(r.TimeText, "09:30");
    EXPECT_FLOAT_EQ(r.SecondAmount, 50.0f);

    // Byte for byte where the host reads it.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    EXPECT_EQ(std::memcmp(bytes + 20, "2025/12/24\0", 11), 0);
    float amount;
    std::memcpy(&amount, bytes + 16, 4);
    EXPECT_FLOAT_EQ(amount, 1234.5f);
}

TEST_F(Decoding, TypesAndSigns) {
    struct Case {
        char digit;
        char monthUnits;
        const char* type;
        const char* month;
        bool negative;
    };
    for (const Case& c : {Case{'3', '2', "13", "12", false}, Case{'0', '9', "05", "09", true},
                          Case{'A', '1', "05", "01", true}, Case{'4', '5', "14", "05", false},
                          Case{'F', '1', "05", "11", true}}) {
        std::string raw = "001234563412" + std::string{c.digit, c.monthUnits} + "241015" + "000000" + "00";
        const TransactionRecord r = Decode(raw);
        EXPECT_STREQ(r.TypeText, c.type) << c.digit;
        EXPECT_EQ(std::string(r.DateText + 5, 2), c.month) << c.digit;
        EXPECT_FLOAT_EQ(r.Amount, c.negative ? -1234.56f : 1234.56f) << c.digit;
    }
    const TransactionRecord zero = Decode("00123400000001241015000000" "00");
    EXPECT_EQ(zero.Amount, 0.0f);
    EXPECT_TRUE(std::signbit(zero.Amount)) << "type 05 of 0.00 is negative zero";
}

TEST_F(Decoding, DateFallsBackToTheClock) {
    EXPECT_STREQ(Decode("00123450341232240930005000" "00").DateText, "2025/12/24");
    EXPECT_STREQ(Decode("00123450341203240930005000" "00").DateText, "2026/03/24");
    EXPECT_STREQ(Decode("00123450341233240930005000" "00").DateText, "2026/03/15");  // month 13
    EXPECT_STREQ(Decode("00123450341202000930005000" "00").DateText, "2026/03/15");  // day 00
    EXPECT_STREQ(Decode("00123450341202320930005000" "00").DateText, "2026/03/15");  // day 32
}

TEST_F(Decoding, YearAtTheTurnOfAYearAndAfter2050) {
    fakeNow = {2027, 1, 2, 0, 5, 0, 0};
    EXPECT_STREQ(Decode("00123450341232310930005000" "00").DateText, "2026/12/31");
    EXPECT_STREQ(Decode("00123450341201010930005000" "00").DateText, "2027/01/01");
    fakeNow = {2051, 6, 1, 12, 0, 0, 0};
    EXPECT_STREQ(Decode("00123450341205200930005000" "00").DateText, "2051/05/20");
    EXPECT_STREQ(Decode("00123450341207200930005000" "00").DateText, "2050/07/20");
    fakeNow = {2000, 1, 1, 12, 0, 0, 0};
    EXPECT_STREQ(Decode("00123450341212310930005000" "00").DateText, "1999/12/31");
}

TEST_F(Decoding, TimeFallsBackToTheClock) {
    EXPECT_STREQ(Decode("00123450341232242430005000" "00").TimeText, "10:20");  // hour 24
    EXPECT_STREQ(Decode("00123450341232240960005000" "00").TimeText, "10:20");  // minute 60
    EXPECT_STREQ(Decode("00123450341232240000005000" "00").TimeText, "00:00");
}

TEST_F(Decoding, TerminalTextAndCardNumber) {
    EXPECT_STREQ(Decode("ab12cd50341232240930005000" "00", 7).TerminalText, "007");
    EXPECT_STREQ(Decode("ab12cd50341232240930005000" "00", 123).TerminalText, "123");
    EXPECT_STREQ(Decode("ab12cd50341232240930005000" "00", 7).CardNumber, "ab12cd");
}

TEST(CheckPair, EightBitSum) {
    // Pairs FF and F4 sum to 0x1F3, compared as 0xF3.
    std::string raw = "FFF4000000000000000000000000";
    raw.replace(26, 2, "F3");
    EXPECT_TRUE(VerifyRawRecord(reinterpret_cast<const unsigned char*>(raw.data())));
    raw.replace(26, 2, "F4");
    EXPECT_FALSE(VerifyRawRecord(reinterpret_cast<const unsigned char*>(raw.data())));
}

TEST(SperateJyzmTxt, DecodesWithoutCheckingAndKeepsTheGaps) {
    fakeNow = {2026, 3, 15, 10, 20, 30, 0};
    SetRecordClock(&FakeClock);
    unsigned char record[44];
    std::memset(record, 0xAB, sizeof record);
    EXPECT_EQ(SperateJyzmTxt("00123450341232240930005000FF", 9, record, 0), 1);  // wrong check pair
    EXPECT_EQ(std::memcmp(record, "009\0" "001234\0" "13\0", 14), 0);
    EXPECT_EQ(record[14], 0xAB);
    EXPECT_EQ(record[15], 0xAB);
    EXPECT_EQ(record[37], 0xAB);
    EXPECT_EQ(record[39], 0xAB);
    EXPECT_EQ(SperateJyzmTxt(nullptr, 9, record, 0), 0);
    SetRecordClock(nullptr);
}

TEST(KeepRecord, CardNumbers) {
    auto keep = [](const char* card) {
        TransactionRecord r;
        std::memset(&r, 0, sizeof r);
        std::strncpy(r.CardNumber, card, 6);
        return KeepRecord(r);
    };
    for (const char* kept : {"000001", "204518", "999999", "123abc"}) EXPECT_TRUE(keep(kept)) << kept;
    for (const char* dropped : {"CLEAR", "clear", "ABCD", "abcd", "a00001", "9999A9", "A00001"}) {
        EXPECT_FALSE(keep(dropped)) << dropped;
    }
}

TEST(BadRecordLog, EntryBytes) {
    unsigned char raw[28];
    std::memcpy(raw, "0A", 2);
    std::memset(raw + 2, '1', 26);
    raw[3] = 0;
    const std::string entry = BadRecordEntry(raw, {2026, 3, 5, 7, 8, 9, 0});
    std::string expected = "2026/03/05 07:08:09\t-30-41-31-0";
    for (int i = 4; i < 28; ++i) expected += "-31";
    expected += "\n\r";
    EXPECT_EQ(entry, expected);
}

// ---- The store file ------------------------------------------------------

class StoreFile : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("talvo-store-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".dat";
        std::remove(path_.c_str());
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string Contents() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::int32_t CountIn(const std::string& file) {
        std::int32_t count;
        std::memcpy(&count, file.data() + 12, 4);
        return count;
    }
    static std::vector<TransactionRecord> Records(int n, char tag) {
        std::vector<TransactionRecord> records(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            std::memset(&records[static_cast<std::size_t>(i)], tag + i, sizeof(TransactionRecord));
        }
        return records;
    }
    // One batch as the collection writes it; `confirmed` decides whether it
    // stays.
    bool Batch(int k, char tag, bool confirmed) {
        if (!RecordStoreFile::StoreExists(path_) && !RecordStoreFile::CreateStore(path_)) return false;
        RecordStoreFile store;
        if (!store.OpenStore(path_) || !store.ReadHeader()) return false;
        const std::int32_t old = store.Count();
        auto records = Records(k, tag);
        if (!store.AppendRecords(records.data(), static_cast<std::uint32_t>(k))) return false;
        store.SetCount(old + k);
        if (!store.WriteHeader() || !store.Flush()) return false;
        if (!confirmed) {
            store.SetCount(old);
            store.WriteHeader();
        }
        store.CloseStore();
        return true;
    }

    std::string path_;
};

TEST_F(StoreFile, OffsetsAndLengths) {
    ASSERT_TRUE(Batch(3, 'a', true));
    std::string f = Contents();
    ASSERT_EQ(f.size(), 148u);
    EXPECT_EQ(f.substr(0, 9), std::string("CASEDATA\0", 9));
    EXPECT_EQ(CountIn(f), 3);

    ASSERT_TRUE(Batch(2, 'x', true));
    f = Contents();
    EXPECT_EQ(f.size(), 236u);
    EXPECT_EQ(f[148], 'x');
    EXPECT_EQ(f[192], 'y');
    EXPECT_EQ(CountIn(f), 5);
}

TEST_F(StoreFile, WithdrawnBatchIsOverwrittenByTheNext) {
    ASSERT_TRUE(Batch(3, 'a', true));
    ASSERT_TRUE(Batch(2, 'x', false));
    std::string f = Contents();
    EXPECT_EQ(f.size(), 236u);
    EXPECT_EQ(CountIn(f), 3);
    ASSERT_TRUE(Batch(1, 'p', true));
    f = Contents();
    EXPECT_EQ(f.size(), 236u);
    EXPECT_EQ(CountIn(f), 4);
    EXPECT_EQ(f[148], 'p');
    EXPECT_EQ(f[192], 'y');  // left over, not counted
}

TEST_F(StoreFile, EmptyFileIsAStoreWithNoRecords) {
    { std::ofstream(path_, std::ios::binary); }
    ASSERT_TRUE(Batch(1, 'a', true));
    const std::string f = Contents();
    EXPECT_EQ(f.size(), 60u);
    EXPECT_EQ(CountIn(f), 1);
}

TEST_F(StoreFile, InvalidHeaderIsRefused) {
    const std::string foreign = "NOTASTORE-------0123456789";
    { std::ofstream(path_, std::ios::binary) << foreign; }
    RecordStoreFile store;
    ASSERT_TRUE(store.OpenStore(path_));
    EXPECT_FALSE(store.ReadHeader());
    store.CloseStore();
    EXPECT_EQ(Contents(), foreign);
}

TEST_F(StoreFile, FileHeldByAnotherOpenerCannotBeOpened) {
    ASSERT_TRUE(RecordStoreFile::CreateStore(path_));
    RecordStoreFile first;
    ASSERT_TRUE(first.OpenStore(path_));
    RecordStoreFile second;
    EXPECT_FALSE(second.OpenStore(path_));
}

}  // namespace
}  // namespace talvo

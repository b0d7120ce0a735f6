// Collecting transaction records into the store file, end to end: every
// record the terminal was told to clear must be in the store.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "line_fixture.h"

namespace talvo::test {
namespace {

const char* kStore = "talvo-collect.dat";
const char* kLog = "ErrRec.doc";

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const char* path) { return std::ifstream(path).good(); }

std::int32_t StoreCount() {
    const std::string f = ReadFile(kStore);
    if (f.size() < 16) return -1;
    std::int32_t count;
    std::memcpy(&count, f.data() + 12, 4);
    return count;
}

// Record i of the store, as 44 bytes.
std::string StoreRecord(int i) { return ReadFile(kStore).substr(16 + 44 * static_cast<std::size_t>(i), 44); }

// First 26 characters of a record: card number, amount, type and month
// digits, day, hour, minute, second amount.
std::string Raw(const std::string& card, const std::string& amount, const std::string& typeMonth = "32") {
    return card + amount + typeMonth + "24" + "0930" + "005000";
}

class Collection : public LineTest {
protected:
    void SetUp() override {
        LineTest::SetUp();
        std::remove(kStore);
        std::remove(kLog);
    }
    void TearDown() override {
        std::remove(kStore);
        std::remove(kLog);
    }
    void Queue(const std::string& first26, const char* how = "seal") {
        sim().Ok(std::string("record 1 ") + how + " " + first26);
    }
    int Collect(int& count, float& total) { return lib().AutoReadJyzm(1, &count, &total, kStore); }
    int Acknowledgements() {
        int n = 0;
        for (const std::string& f : sim().Frames()) n += f.substr(5, 2) == "47" ? 1 : 0;
        return n;
    }
};

TEST_F(Collection, NoRecords) {
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(total, 0.0f);
    EXPECT_FALSE(FileExists(kStore));
    EXPECT_EQ(Acknowledgements(), 0);
    EXPECT_EQ(sim().Frames()[0], Request(1, 0x37, 0, 0, 6));

    // A reply without payload reads as no records whatever its count says.
    sim().Ok("fault 37 count 3");
    count = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(FileExists(kStore));
}

TEST_F(Collection, SevenRecordsAreRefused) {
    for (int i = 0; i < 7; ++i) Queue(Raw("00000" + std::to_string(i), "001000"));
    sim().Ok("set 1 batch 7");
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(total, -1.0f);
    EXPECT_FALSE(FileExists(kStore));
    EXPECT_EQ(Acknowledgements(), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "7");
}

TEST_F(Collection, BatchesAreStoredThenAcknowledged) {
    for (int i = 0; i < 8; ++i) Queue(Raw("10000" + std::to_string(i), "001000"));  // 10.00 each
    sim().Ok("set 1 mark 4660");  // the next batch is 0x1235
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 6);
    EXPECT_FLOAT_EQ(total, 60.0f);
    EXPECT_EQ(StoreCount(), 6);
    EXPECT_EQ(sim().Frames().back(), Request(1, 0x47, 0x12, 0x35, 6));
    EXPECT_EQ(sim().Ok("get 1 records"), "2");

    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(StoreCount(), 8);
    EXPECT_EQ(StoreRecord(7).substr(4, 7), std::string("100007\0", 7));
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ReadFile(kStore).size(), 16u + 8u * 44u);
}

TEST_F(Collection, TheStoreReaderReadsWhatAutoReadJyzmWrote) {
    for (int i = 0; i < 8; ++i) Queue(Raw("20000" + std::to_string(i), "501200", i % 2 ? "02" : "32"));
    int count = -1;
    float total = -1;
    ASSERT_EQ(Collect(count, total), 1);
    ASSERT_EQ(Collect(count, total), 1);
    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(kStore, &store), 0);
    std::size_t n = 0;
    EXPECT_EQ(lib().talvo_store_count(store, &n), 0);
    ASSERT_EQ(n, 8u);
    talvo_record records[8];
    ASSERT_EQ(lib().talvo_store_read(store, 0, records, 8, &n), 0);
    ASSERT_EQ(n, 8u);
    for (int i = 0; i < 8; ++i) {
        talvo_record fromBytes{};
        const std::string bytes = StoreRecord(i);
        ASSERT_EQ(lib().talvo_record_from_store(bytes.data(), &fromBytes), 0);
        EXPECT_EQ(std::memcmp(&fromBytes, &records[i], sizeof fromBytes), 0) << i;
        EXPECT_EQ(records[i].card, "20000" + std::to_string(i));
        EXPECT_EQ(records[i].amount_cents, i % 2 ? -1250 : 1250);
        EXPECT_EQ(records[i].terminal, 1);
    }
    EXPECT_EQ(lib().talvo_store_read(store, 8, records, 8, &n), 0);
    EXPECT_EQ(n, 0u) << "nothing beyond the count";
    EXPECT_EQ(lib().talvo_store_close(store), 0);
}

TEST_F(Collection, DamagedRecordIsLoggedAndAcknowledged) {
    Queue(Raw("000001", "001000"));
    Queue(Raw("000002", "002000"), "damaged");
    Queue(Raw("000003", "003000"));
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 2);
    EXPECT_FLOAT_EQ(total, 40.0f);
    EXPECT_EQ(StoreCount(), 2);
    EXPECT_EQ(sim().Frames().back().substr(11, 2), "03");  // all three acknowledged
    const std::string log = ReadFile(kLog);
    // Time stamp, tab, "-30-30-30-30-30-32..." and a line feed, carriage return.
    ASSERT_GT(log.size(), 20u);
    EXPECT_EQ(log[19], '\t');
    EXPECT_EQ(log.substr(20, 18), "-30-30-30-30-30-32");
    EXPECT_EQ(log.substr(log.size() - 2), "\n\r");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\t'), 1);
}

TEST_F(Collection, FilteredCardNumbersAndNegativeTotals) {
    for (const char* card : {"a00001", "000001", "204518", "999999", "9999A9"}) {
        Queue(Raw(card, "001000", "01"));  // type 05: negative amounts
    }
    // "CLEAR" ends with a zero byte in the six card characters.
    std::string clear = Raw(std::string("CLEAR\0", 6), "001000", "01");
    char hex[3];
    std::string clearHex;
    for (unsigned char c : clear) {
        std::snprintf(hex, sizeof hex, "%02X", c);
        clearHex += hex;
    }
    Queue(clearHex, "sealhex");
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 3);
    EXPECT_FLOAT_EQ(total, -30.0f);
    const std::string log = ReadFile(kLog);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\t'), 3);
    EXPECT_NE(log.find("-61-30-30-30-30-31"), std::string::npos) << "a00001 is logged as sent";
}

TEST_F(Collection, RefusedConfirmationWithdrawsTheBatch) {
    for (int i = 0; i < 3; ++i) Queue(Raw("00000" + std::to_string(i), "001000"));
    int count = -1;
    float total = -1;
    ASSERT_EQ(Collect(count, total), 1);
    ASSERT_EQ(StoreCount(), 3);

    for (int i = 0; i < 2; ++i) Queue(Raw("20000" + std::to_string(i), "002000"));
    sim().Ok("fault 47 status NN");
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(count, 2);
    EXPECT_FLOAT_EQ(total, 40.0f);
    EXPECT_EQ(StoreCount(), 3) << "the terminal said it keeps the batch";
    EXPECT_EQ(ReadFile(kStore).size(), 236u);
    EXPECT_EQ(sim().Ok("get 1 records"), "2");
    // The terminal hands out the same batch again; this time it is confirmed
    // and overwrites the withdrawn bytes.
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(StoreCount(), 5);
    EXPECT_EQ(ReadFile(kStore).size(), 236u);
}

TEST_F(Collection, UnansweredConfirmationKeepsTheBatchAndNeverStoresItTwice) {
    Settings({{"Repeat", "1"}});
    int count = -1;
    float total = -1;
    // Every way a confirmation can go without a clear answer: the terminal
    // cleared the batch (or not) and the host cannot tell.
    int batch = 0;
    for (const char* fault : {"fault 47 silence", "fault 47 wrongmark", "fault 47 badsum"}) {
        const int before = StoreCount() < 0 ? 0 : StoreCount();
        ++batch;
        for (int i = 0; i < 2; ++i) Queue(Raw("3000" + std::to_string(batch) + std::to_string(i), "003000"));
        sim().Ok(fault);
        EXPECT_EQ(Collect(count, total), 0) << fault;
        EXPECT_EQ(StoreCount(), before + 2) << fault << ": the batch stays stored";
        // Whether the terminal kept the batch or not, the next collection
        // ends with each record stored exactly once.
        EXPECT_EQ(Collect(count, total), 1) << fault;
        EXPECT_EQ(count, 0) << fault << ": nothing new stored";
        EXPECT_EQ(StoreCount(), before + 2) << fault;
        EXPECT_EQ(sim().Ok("get 1 records"), "0") << fault;
    }
}

// A terminal that marks a batch anew when it hands it again after a
// confirmation it did not take: recognised by its records, stored once,
// confirmed with the new mark.
TEST_F(Collection, BatchHandedAgainUnderANewMarkIsStoredOnce) {
    Settings({{"Repeat", "1"}});
    Queue(Raw("400001", "001000"));
    Queue(Raw("400002", "002000"));
    sim().Ok("fault 47 wrongmark");
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(StoreCount(), 2);
    const std::string firstAck = sim().Frames().back();
    sim().Ok("fault 37 remark");
    sim().Ok("clearframes");
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 0) << "nothing new stored";
    EXPECT_EQ(StoreCount(), 2);
    const auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[1], firstAck) << "confirmed under the new mark";
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
}

// Equal records after a confirmed batch are a new batch: the same purchase
// twice in a minute, collected in between.
TEST_F(Collection, EqualBatchAfterAConfirmedOneIsStored) {
    Settings({{"Repeat", "1"}});
    sim().Ok("set 1 batch 1");
    for (int i = 0; i < 3; ++i) Queue(Raw("400003", "001000"));
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 1);
    sim().Ok("fault 47 wrongmark");
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(Collect(count, total), 1);
    EXPECT_EQ(count, 0) << "the batch handed again";
    EXPECT_EQ(StoreCount(), 3);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
}

TEST_F(Collection, ReplyShorterThanItsCountIsRefused) {
    for (int i = 0; i < 3; ++i) Queue(Raw("00000" + std::to_string(i), "001000"));
    sim().Ok("fault 37 short 28 times=0");
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(lib().GetError(), -6);
    EXPECT_EQ(sim().Frames().size(), 3u) << "each try is repeated";
    EXPECT_FALSE(FileExists(kStore));
}

TEST_F(Collection, ForeignFileIsNeverTouched) {
    const std::string foreign = "this is not a record store, it is someone's notes";
    { std::ofstream(kStore, std::ios::binary) << foreign; }
    Queue(Raw("000001", "001000"));
    int count = -1;
    float total = -1;
    EXPECT_EQ(Collect(count, total), 0);
    EXPECT_EQ(ReadFile(kStore), foreign);
    EXPECT_EQ(Acknowledgements(), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "1");
}

TEST_F(Collection, ClearjyzmSendsTheLowByteAndReadsTheMark) {
    sim().Ok("set 1 mark 258");
    unsigned short mark = 0;
    EXPECT_EQ(lib().Clearjyzm(1, 300, &mark), 1);
    EXPECT_EQ(mark, 258);
    EXPECT_EQ(OnlyFrame(), Request(1, 0x47, 0, 0, 0x2C));
    sim().Ok("fault 47 status NN");
    mark = 7;
    EXPECT_EQ(lib().Clearjyzm(1, 1, &mark), 0);
    EXPECT_EQ(mark, 7);
    EXPECT_EQ(lib().Clearjyzm(1, 1, nullptr), 0);
}

TEST_F(Collection, NullArgumentsSendNothing) {
    int count = 0;
    float total = 0;
    EXPECT_EQ(lib().AutoReadJyzm(1, nullptr, &total, kStore), 0);
    EXPECT_EQ(lib().AutoReadJyzm(1, &count, nullptr, kStore), 0);
    EXPECT_EQ(lib().AutoReadJyzm(1, &count, &total, nullptr), 0);
    EXPECT_TRUE(sim().Frames().empty());
}

}  // namespace
}  // namespace talvo::test

// Record decoding, the record filter, the bad-record log entry and the store
// file's layout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

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

// A raw record of type "13" dated month/day hour:minute.
std::string Dated(int month, int day, int hour, int minute) {
    char text[32];
    std::snprintf(text, sizeof text, "001234503412%X%d%02d%02d%02d005000" "00", 2 | month / 10, month % 10, day,
                  hour, minute);
    return text;
}

// A terminal whose clock runs a few seconds ahead of the host's writes a
// record in a month (or year) the host has not reached yet: it keeps the
// year it belongs to, up to one day ahead of the host's clock.
TEST_F(Decoding, YearOfARecordJustAheadAtTheTurnOfAMonth) {
    fakeNow = {2026, 1, 31, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(2, 1, 0, 0)).DateText, "2026/02/01");
    EXPECT_STREQ(Decode(Dated(2, 1, 23, 59)).DateText, "2026/02/01");  // 23:59:10 ahead
    EXPECT_STREQ(Decode(Dated(1, 31, 23, 59)).DateText, "2026/01/31");
    // More than a day ahead: the month lies ahead, so the year before.
    EXPECT_STREQ(Decode(Dated(2, 2, 0, 0)).DateText, "2025/02/02");
    // Exactly one day ahead is not more than one day.
    fakeNow = {2026, 4, 30, 12, 0, 0, 0};
    EXPECT_STREQ(Decode(Dated(5, 1, 12, 0)).DateText, "2026/05/01");
    EXPECT_STREQ(Decode(Dated(5, 1, 12, 1)).DateText, "2025/05/01");
    // Within the month, ahead by more than a day: the current year as before.
    fakeNow = {2026, 3, 15, 10, 20, 30, 0};
    EXPECT_STREQ(Decode(Dated(3, 15, 10, 25)).DateText, "2026/03/15");
    EXPECT_STREQ(Decode(Dated(3, 24, 9, 30)).DateText, "2026/03/24");
    // A time that does not read is the clock's, and so is its year.
    fakeNow = {2026, 1, 31, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(2, 1, 24, 0)).DateText, "2026/02/01");
}

TEST_F(Decoding, YearOfARecordJustAheadAtTheTurnOfTheYear) {
    fakeNow = {2026, 12, 31, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(1, 1, 0, 0)).DateText, "2027/01/01");
    EXPECT_STREQ(Decode(Dated(12, 31, 23, 59)).DateText, "2026/12/31");
    EXPECT_STREQ(Decode(Dated(1, 2, 0, 0)).DateText, "2026/01/02");  // more than a day ahead
    fakeNow = {2026, 12, 31, 0, 30, 0, 0};
    EXPECT_STREQ(Decode(Dated(1, 1, 0, 30)).DateText, "2027/01/01");  // exactly one day
    EXPECT_STREQ(Decode(Dated(1, 1, 0, 31)).DateText, "2026/01/01");
    // Just after the turn, records of the old year keep it.
    fakeNow = {2027, 1, 1, 0, 0, 10, 0};
    EXPECT_STREQ(Decode(Dated(12, 31, 23, 59)).DateText, "2026/12/31");
    EXPECT_STREQ(Decode(Dated(1, 1, 0, 1)).DateText, "2027/01/01");
    // The date replaced by the clock's is of the current year.
    fakeNow = {2026, 12, 31, 23, 59, 50, 0};
    EXPECT_STREQ(Decode("00123450341233240930005000" "00").DateText, "2026/12/31");  // month 13
}

TEST_F(Decoding, YearOfARecordJustAheadAround29February) {
    // A leap year: the day after 28 February is the 29th.
    fakeNow = {2028, 2, 28, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(2, 29, 0, 0)).DateText, "2028/02/29");
    EXPECT_STREQ(Decode(Dated(3, 1, 0, 0)).DateText, "2027/03/01");  // one day and 10 seconds ahead
    fakeNow = {2028, 2, 29, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(3, 1, 0, 0)).DateText, "2028/03/01");
    EXPECT_STREQ(Decode(Dated(2, 29, 23, 59)).DateText, "2028/02/29");
    // A common year: 1 March follows 28 February.
    fakeNow = {2027, 2, 28, 23, 59, 50, 0};
    EXPECT_STREQ(Decode(Dated(3, 1, 0, 0)).DateText, "2027/03/01");
    EXPECT_STREQ(Decode(Dated(3, 1, 23, 59)).DateText, "2027/03/01");
    EXPECT_STREQ(Decode(Dated(3, 2, 0, 0)).DateText, "2026/03/02");
    // A 29 February the year does not have is written as sent (days are not
    // tested against the month) and counts as 1 March.
    EXPECT_STREQ(Decode(Dated(2, 29, 0, 0)).DateText, "2027/02/29");
    fakeNow = {2027, 3, 1, 0, 0, 10, 0};
    EXPECT_STREQ(Decode(Dated(2, 29, 23, 59)).DateText, "2027/02/29");
}

TEST_F(Decoding, TimeFallsBackToTheClock) {
    EXPECT_STREQ(Decode("00123450341232242430005000" "00").TimeText, "10:20");  // hour 24
    EXPECT_STREQ(Decode("00123450341232240960005000" "00").TimeText, "10:20");  // minute 60
    EXPECT_STREQ(Decode("00123450341232240000005000" "00").TimeText, "00:00");
}

// A date or time field is two digits or not valid: a blank, a sign, a
// letter or a zero byte in it was read as a number and copied into the
// text as it stood ("2026/03/ 5", "+9:30", a zero byte cutting the time).
TEST_F(Decoding, FieldsThatAreNotTwoDigitsFallBackToTheClock) {
    EXPECT_STREQ(Decode("00123450341232 50930005000" "00").DateText, "2026/03/15");   // day " 5"
    EXPECT_STREQ(Decode("001234503412322x0930005000" "00").DateText, "2026/03/15");   // day "2x"
    EXPECT_STREQ(Decode("0012345034121 240930005000" "00").DateText, "2026/03/15");   // month "1 "
    EXPECT_STREQ(Decode("0012345034123224+930005000" "00").TimeText, "10:20");        // hour "+9"
    EXPECT_STREQ(Decode("0012345034123224093-005000" "00").TimeText, "10:20");        // minute "3-"
    std::string zeros = "00123450341232240930005000" "00";
    zeros[16] = zeros[17] = '\0';
    EXPECT_STREQ(Decode(zeros).TimeText, "10:20");  // hour of zero bytes
    // Two digits as before.
    EXPECT_STREQ(Decode("00123450341232240930005000" "00").TimeText, "09:30");
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
        RecordStoreFile store;
        if (!store.OpenOrCreateStore(path_) || !store.ReadHeader()) return false;
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
    RecordStoreFile first;
    ASSERT_TRUE(first.OpenOrCreateStore(path_));
    RecordStoreFile second;
    EXPECT_FALSE(second.OpenStore(path_));
    EXPECT_FALSE(second.OpenOrCreateStore(path_));
    first.CloseStore();
    EXPECT_TRUE(second.OpenOrCreateStore(path_));
}

// Opening for a batch creates a missing file with its header on disk at
// once, and never truncates or rewrites a store that is there.
TEST_F(StoreFile, OpenOrCreateWritesAHeaderOnlyWhereNoneIs) {
    {
        RecordStoreFile store;
        ASSERT_TRUE(store.OpenOrCreateStore(path_));
        EXPECT_TRUE(store.ReadHeader());
        EXPECT_EQ(store.Count(), 0);
    }
    std::string f = Contents();
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f.substr(0, 9), std::string("CASEDATA\0", 9));
    EXPECT_EQ(CountIn(f), 0);

    ASSERT_TRUE(Batch(3, 'a', true));
    const std::string stored = Contents();
    {
        RecordStoreFile store;
        ASSERT_TRUE(store.OpenOrCreateStore(path_));
    }
    EXPECT_EQ(Contents(), stored);

    // The beginning of a header is completed; a short file that is not a
    // store is left as it is (and refused by ReadHeader).
    { std::ofstream(path_, std::ios::binary) << "CASED"; }
    {
        RecordStoreFile store;
        ASSERT_TRUE(store.OpenOrCreateStore(path_));
    }
    f = Contents();
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f.substr(0, 9), std::string("CASEDATA\0", 9));
    EXPECT_EQ(CountIn(f), 0);
    { std::ofstream(path_, std::ios::binary) << "XXXXX"; }
    {
        RecordStoreFile store;
        ASSERT_TRUE(store.OpenOrCreateStore(path_));
        EXPECT_FALSE(store.ReadHeader());
    }
    EXPECT_EQ(Contents(), "XXXXX");
}

// Only a regular file is a store: a folder, a FIFO or a device is refused
// by the writer and the reader, at once.
TEST_F(StoreFile, OnlyARegularFileIsAStore) {
    RecordStoreFile store;
    RecordStoreReader reader;
    EXPECT_FALSE(store.OpenOrCreateStore("."));
    EXPECT_FALSE(reader.Open("."));
#ifdef _WIN32
    for (const char* device : {"NUL", "nul", "CON"}) {
        EXPECT_FALSE(store.OpenOrCreateStore(device)) << device;
        EXPECT_FALSE(reader.Open(device)) << device;
    }
    // A named pipe with a server waiting: neither connects to read it.
    const std::string pipe = "\\\\.\\pipe\\talvo-store-" + std::to_string(::GetCurrentProcessId());
    HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES,
                                       4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(reader.Open(pipe));
    EXPECT_FALSE(store.OpenOrCreateStore(pipe));
    ::CloseHandle(server);
#else
    for (const char* device : {"/dev/null", "/dev/zero"}) {
        EXPECT_FALSE(store.OpenOrCreateStore(device)) << device;
        EXPECT_FALSE(reader.Open(device)) << device;
    }
    // A FIFO without a writer: an ordinary open for reading would wait for
    // one.  The open runs on a thread; should it block, a writer is opened
    // to set it free and the test fails.
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    std::atomic<int> done{0};
    std::thread opener([&] {
        RecordStoreReader fifoReader;
        done = fifoReader.Open(path_) ? 2 : 1;
    });
    for (int i = 0; i < 500 && done == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(done.load(), 1) << "the open of a FIFO blocked, or took it for a store";
    if (done == 0) {
        const int unblock = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        opener.join();
        if (unblock >= 0) ::close(unblock);
    } else {
        opener.join();
    }
    EXPECT_FALSE(store.OpenOrCreateStore(path_));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
#endif
}

// ---- Two writers in two processes ---------------------------------------
//
// The other writer is talvo_store_writer (store_writer.cpp), started from
// this program's folder and held at a step of its store work while this
// process uses the same file.

std::string ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1);
#else
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return self.substr(0, self.find_last_of('/') + 1);
#endif
}

class Writer {
public:
    explicit Writer(const std::vector<std::string>& args) {
#ifdef _WIN32
        std::string command = "\"" + ProgramFolder() + "talvo_store_writer.exe\"";
        for (const std::string& a : args) command += " \"" + a + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ::CloseHandle(pi.hThread);
            process_ = pi.hProcess;
        }
#else
        const std::string program = ProgramFolder() + "talvo_store_writer";
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
#endif
    }
    ~Writer() { Wait(); }
    bool Started() const {
#ifdef _WIN32
        return process_ != nullptr;
#else
        return pid_ > 0;
#endif
    }
    // The writer's exit code; -1 when it did not start or was killed.
    int Wait() {
#ifdef _WIN32
        if (process_ == nullptr) return code_;
        ::WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        ::CloseHandle(process_);
        process_ = nullptr;
        code_ = static_cast<int>(code);
#else
        if (pid_ <= 0) return code_;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
        return code_;
    }

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t pid_ = -1;
#endif
    int code_ = -1;
};

bool FileThere(const std::string& path) { return std::ifstream(path).good(); }

class TwoWriters : public StoreFile {
protected:
    void SetUp() override {
        StoreFile::SetUp();
        ready_ = path_ + ".ready";
        go_ = path_ + ".go";
        std::remove(ready_.c_str());
        std::remove(go_.c_str());
    }
    void TearDown() override {
        Go();
        std::remove(ready_.c_str());
        std::remove(go_.c_str());
        StoreFile::TearDown();
    }
    // Waits until the other writer stands at its step.
    bool Held(Writer& writer) {
        for (int i = 0; i < 3000 && writer.Started(); ++i) {
            if (FileThere(ready_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Go() { std::ofstream(go_, std::ios::binary).put('\n'); }
    // The records of the file, each as its first byte.
    std::string Tags() const {
        const std::string f = Contents();
        std::string tags;
        if (f.size() < 16) return tags;
        for (std::int32_t i = 0; i < CountIn(f); ++i) {
            const std::size_t at = 16 + 44 * static_cast<std::size_t>(i);
            tags += at < f.size() ? f[at] : '?';
        }
        return tags;
    }

    std::string ready_, go_;
};

// The race that wiped records: two collections find no file, and the later
// one created it anew over the records the earlier one had stored.  The
// other writer is held just before it opens (or creates) the file while
// this process creates it and stores its batch.
TEST_F(TwoWriters, TheLaterCreatorAppendsBehindTheEarlierOnesRecords) {
    Writer other({path_, "a", "3", "opening", ready_, go_});
    ASSERT_TRUE(other.Started());
    ASSERT_TRUE(Held(other));
    ASSERT_TRUE(AppendToStore(path_, Records(2, 'x')));
    EXPECT_EQ(Tags(), "xy");
    Go();
    EXPECT_EQ(other.Wait(), 0);
    const std::string f = Contents();
    EXPECT_EQ(f.size(), 16u + 5u * 44u);
    EXPECT_EQ(Tags(), "xyabc") << "the records stored first were overwritten";
}

// While one writer holds the file (open, header not yet read), the other
// is refused at once and changes nothing; once the first is done, the
// second appends behind its records.
TEST_F(TwoWriters, AWriterHoldingTheFileKeepsTheOtherOut) {
    Writer other({path_, "a", "3", "opened", ready_, go_});
    ASSERT_TRUE(other.Started());
    ASSERT_TRUE(Held(other));
    EXPECT_FALSE(AppendToStore(path_, Records(2, 'x')));
    Go();
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(Tags(), "abc");
    ASSERT_TRUE(AppendToStore(path_, Records(2, 'x')));
    EXPECT_EQ(Tags(), "abcxy");
    EXPECT_EQ(Contents().size(), 16u + 5u * 44u);
}

}  // namespace
}  // namespace talvo

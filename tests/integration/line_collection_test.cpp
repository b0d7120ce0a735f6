// The line API's collection into the host's own storage: what the storage
// is asked to do and when, what the result tells, the terminal that hands
// a batch again (under its mark or a new one) after a confirmation without
// a clear answer, and the one rule of "the same batch".
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "line_fixture.h"

namespace talvo::test {
namespace {

// First 26 characters of a record: card, amount, type and month digits,
// day, time, second amount.
std::string Raw(const std::string& card, const std::string& amount, const std::string& typeMonth = "32") {
    return card + amount + typeMonth + "24" + "0930" + "005000";
}

bool FileExists(const char* path) { return std::ifstream(path).good(); }

// The host's storage: a list of records, and what it was asked.
struct Storage {
    std::vector<std::string> cards;  // stored, in order
    std::vector<int> actions;        // TALVO_COLLECT_* as asked
    std::vector<std::size_t> sizes;  // records handed with each request
    int failStore = 0;               // answer to a store request
    int failWithdraw = 0;            // answer to a withdrawal
    std::size_t lastBatchSize = 0;   // the records the last store added

    static int TALVO_CALL Call(void* user, int action, const talvo_batch* batch, const talvo_record* records,
                               std::size_t n) {
        auto* s = static_cast<Storage*>(user);
        s->actions.push_back(action);
        s->sizes.push_back(n);
        if (batch == nullptr || (n > 0 && records == nullptr) || static_cast<std::size_t>(batch->kept) != n) return 9;
        if (action == TALVO_COLLECT_STORE) {
            if (s->failStore != 0) return s->failStore;
            for (std::size_t i = 0; i < n; ++i) s->cards.emplace_back(records[i].card);
            s->lastBatchSize = n;
            return 0;
        }
        if (s->failWithdraw != 0) return s->failWithdraw;
        s->cards.resize(s->cards.size() - s->lastBatchSize);
        return 0;
    }
};

class LineCollection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        lib_ = std::make_unique<HostLibrary>();
        SetEnv("TALVO_DEFER_PORT", "1");
        lib_->Load();
        SetEnv("TALVO_DEFER_PORT", nullptr);
    }
    static void TearDownTestSuite() { lib_.reset(); }
    void SetUp() override {
        if (!Sim::Get().Available()) GTEST_SKIP() << "no software terminal";
        ASSERT_TRUE(lib_->Loaded());
        sim().Ok("reset");
        sim().Ok("add 1 consumption");
        Open(3);
        std::remove("ErrRec.doc");
        std::remove(kLog);
        std::remove(kStore);
    }
    void TearDown() override {
        if (line_ != nullptr) lib().talvo_line_close(line_);
        std::remove("ErrRec.doc");
        std::remove(kLog);
        std::remove(kStore);
    }
    void Open(std::uint32_t tries) {
        if (line_ != nullptr) lib().talvo_line_close(line_);
        line_ = nullptr;
        talvo_line_options o;
        lib().talvo_line_options_init(&o);
        const std::string device = Sim::Get().PortName();
        o.device = device.c_str();
        o.baud = 9600;
        o.echo_time_ms = 60;
        o.wait_time_ms = 250;
        o.tries = tries;
        ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0);
    }
    int Collect(Storage& storage, talvo_collect_result& result, const char* log = nullptr) {
        talvo_collect_args args{};
        args.size = sizeof args;
        args.store = &Storage::Call;
        args.user = &storage;
        args.log_path = log;
        return lib().talvo_records_collect_into(line_, 1, &args, &result);
    }
    void Queue(const std::string& card, const char* how = "seal") {
        sim().Ok(std::string("record 1 ") + how + " " + Raw(card, "001000"));
    }
    int Confirmations() {
        int n = 0;
        for (const std::string& f : sim().Frames()) n += f.substr(5, 2) == "47" ? 1 : 0;
        return n;
    }

    static Sim& sim() { return Sim::Get(); }
    static HostLibrary& lib() { return *lib_; }
    static constexpr const char* kLog = "talvo-collect-log.txt";
    static constexpr const char* kStore = "talvo-collect-into.dat";
    static std::unique_ptr<HostLibrary> lib_;
    talvo_line* line_ = nullptr;
};

std::unique_ptr<HostLibrary> LineCollection::lib_;

TEST_F(LineCollection, StoredThenConfirmedAndReported) {
    Queue("000001");
    Queue("000002", "damaged");
    sim().Ok("record 1 seal " + Raw("000003", "502500", "02"));  // a payment of 25.50
    sim().Ok("record 1 seal " + Raw("CLEAR0", "001000"));
    Storage storage;
    talvo_collect_result r{};
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(storage.actions, std::vector<int>{TALVO_COLLECT_STORE});
    EXPECT_EQ(storage.cards, (std::vector<std::string>{"000001", "000003"}));
    EXPECT_EQ(r.batch.count, 4);
    EXPECT_EQ(r.batch.terminal, 1);
    EXPECT_EQ(r.batch.status[1], TALVO_RAW_DAMAGED);
    EXPECT_EQ(r.batch.status[3], TALVO_RAW_UNWANTED);
    EXPECT_EQ(r.stored, 2);
    EXPECT_EQ(r.rejected, 2);
    EXPECT_EQ(r.total_cents, 1000 - 2550);
    EXPECT_EQ(r.replayed, 0);
    EXPECT_EQ(r.unconfirmed, 0);
    const auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], Request(1, 0x47, r.batch.mark >> 8, r.batch.mark & 0xFF, 4));
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    EXPECT_FALSE(FileExists("ErrRec.doc")) << "a line writes no log unless asked";

    // Nothing left: nothing stored, nothing confirmed.
    sim().Ok("clearframes");
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(r.batch.count, 0);
    EXPECT_EQ(r.stored, 0);
    EXPECT_EQ(storage.actions.size(), 1u);
    EXPECT_EQ(Confirmations(), 0);
}

TEST_F(LineCollection, LogOnlyWhenAskedAndWhereAsked) {
    Queue("000001", "damaged");
    Queue("000002");
    Storage storage;
    talvo_collect_result r{};
    ASSERT_EQ(Collect(storage, r, kLog), 0);
    std::ifstream in(kLog, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("\t-30-30-30-30-30-31"), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - 2), "\n\r");
    EXPECT_FALSE(FileExists("ErrRec.doc"));

    // talvo_records_collect logs nowhere.
    Queue("000003", "damaged");
    Queue("000004");
    std::size_t stored = 9;
    ASSERT_EQ(lib().talvo_records_collect(line_, 1, kStore, &stored), 0);
    EXPECT_EQ(stored, 1u);
    EXPECT_FALSE(FileExists("ErrRec.doc"));
}

TEST_F(LineCollection, IntoAStoreFile) {
    Queue("000001");
    Queue("000002");
    talvo_collect_args args{};
    args.size = sizeof args;
    args.path = kStore;
    talvo_collect_result r{};
    ASSERT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), 0);
    EXPECT_EQ(r.stored, 2);
    EXPECT_EQ(r.total_cents, 2000);
    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(kStore, &store), 0);
    std::size_t n = 0;
    EXPECT_EQ(lib().talvo_store_count(store, &n), 0);
    EXPECT_EQ(n, 2u);
    lib().talvo_store_close(store);

    // The terminal refuses the confirmation: the batch is withdrawn from
    // the file again and stays on the terminal.
    Queue("000003");
    sim().Ok("fault 47 status NN");
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_REFUSED);
    EXPECT_EQ(r.stored, 0);
    EXPECT_EQ(r.unconfirmed, 0);
    ASSERT_EQ(lib().talvo_store_open(kStore, &store), 0);
    EXPECT_EQ(lib().talvo_store_count(store, &n), 0);
    EXPECT_EQ(n, 2u);
    lib().talvo_store_close(store);
    EXPECT_EQ(sim().Ok("get 1 records"), "1");

    // A file that is no store: nothing confirmed.
    {
        std::ofstream notes(kStore, std::ios::binary | std::ios::trunc);
        notes << "someone's notes";
    }
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_STORE);
    EXPECT_EQ(r.batch.count, 1);
    EXPECT_EQ(Confirmations(), 0);
}

TEST_F(LineCollection, FailedStorageConfirmsNothing) {
    Queue("000001");
    Storage storage;
    storage.failStore = 5;
    talvo_collect_result r{};
    EXPECT_EQ(Collect(storage, r), TALVO_E_STORE);
    EXPECT_EQ(r.stored, 0);
    EXPECT_EQ(r.batch.count, 1);
    EXPECT_EQ(Confirmations(), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "1");
    // Once the storage works, the same batch is stored, once.
    storage.failStore = 0;
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(storage.cards, std::vector<std::string>{"000001"});
}

TEST_F(LineCollection, RefusedConfirmationIsWithdrawnThroughTheHost) {
    Queue("000001");
    Queue("000002");
    Storage storage;
    talvo_collect_result r{};
    sim().Ok("fault 47 status NN");
    EXPECT_EQ(Collect(storage, r), TALVO_E_REFUSED);
    EXPECT_EQ(storage.actions, (std::vector<int>{TALVO_COLLECT_STORE, TALVO_COLLECT_WITHDRAW}));
    EXPECT_EQ(storage.sizes, (std::vector<std::size_t>{2, 2}));
    EXPECT_TRUE(storage.cards.empty());
    EXPECT_EQ(r.stored, 0);
    EXPECT_EQ(r.unconfirmed, 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "2");
    // It comes again and is stored like any batch.
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(storage.cards, (std::vector<std::string>{"000001", "000002"}));

    // A withdrawal that fails: the line remembers the batch as stored, and
    // when it comes again it is confirmed without being stored twice.
    Queue("000003");
    storage.failWithdraw = 1;
    sim().Ok("fault 47 status NN");
    EXPECT_EQ(Collect(storage, r), TALVO_E_REFUSED);
    EXPECT_EQ(r.unconfirmed, 1);
    EXPECT_EQ(r.stored, 1);
    storage.actions.clear();
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(r.replayed, 1);
    EXPECT_TRUE(storage.actions.empty());
    EXPECT_EQ(storage.cards, (std::vector<std::string>{"000001", "000002", "000003"}));
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
}

// The terminal does not take the confirmation (it answers with another
// mark) and hands the batch again: under the same mark, or marked anew.
// Either way the batch is stored once and then confirmed with the mark it
// came with last.
TEST_F(LineCollection, BatchHandedAgainUnderItsMarkOrANewOneIsStoredOnce) {
    Open(1);
    for (const char* again : {"", "fault 37 remark"}) {
        SCOPED_TRACE(*again ? again : "same mark");
        Queue("000001");
        Queue("000002");
        Storage storage;
        talvo_collect_result r{};
        sim().Ok("fault 47 wrongmark");
        EXPECT_EQ(Collect(storage, r), TALVO_E_UNCONFIRMED);
        EXPECT_EQ(r.unconfirmed, 1);
        EXPECT_EQ(r.stored, 2);
        const int firstMark = r.batch.mark;
        if (*again) sim().Ok(again);
        sim().Ok("clearframes");
        ASSERT_EQ(Collect(storage, r), 0);
        EXPECT_EQ(r.replayed, 1);
        EXPECT_EQ(r.unconfirmed, 0);
        EXPECT_EQ(r.stored, 0);
        EXPECT_EQ(r.batch.mark == firstMark, *again == '\0');
        EXPECT_EQ(storage.cards, (std::vector<std::string>{"000001", "000002"}));
        const auto frames = sim().Frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[1], Request(1, 0x47, r.batch.mark >> 8, r.batch.mark & 0xFF, 2));
        EXPECT_EQ(sim().Ok("get 1 records"), "0");
    }
}

// Equal records are one batch only in the window after an unanswered
// confirmation: the same purchase twice in a minute, collected between
// the two, is two batches.
TEST_F(LineCollection, AnEqualBatchOutsideTheWindowIsANewOne) {
    Open(1);
    sim().Ok("set 1 batch 1");
    for (int i = 0; i < 4; ++i) Queue("000001");
    Storage storage;
    talvo_collect_result r{};
    ASSERT_EQ(Collect(storage, r), 0);
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(r.replayed, 0);
    EXPECT_EQ(storage.cards.size(), 2u);
    // In the window: the same batch again is recognised...
    sim().Ok("fault 47 wrongmark");
    EXPECT_EQ(Collect(storage, r), TALVO_E_UNCONFIRMED);
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(r.replayed, 1);
    // ...and the window closes with its confirmation.
    ASSERT_EQ(Collect(storage, r), 0);
    EXPECT_EQ(r.replayed, 0);
    EXPECT_EQ(storage.cards.size(), 4u);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
}

TEST_F(LineCollection, ArgumentsRefusedWithoutAFrame) {
    Queue("000001");
    Storage storage;
    talvo_collect_result r{};
    r.stored = 77;
    talvo_collect_args args{};
    args.size = sizeof args;
    args.store = &Storage::Call;
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, nullptr), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, nullptr, &r), TALVO_E_INVALID);
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 256, &args, &r), TALVO_E_INVALID);
    args.size = sizeof args - 4;
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    args.size = sizeof args;
    args.path = kStore;  // both
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    args.store = nullptr;
    args.path = "";  // an empty path
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    args.path = nullptr;  // neither
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    args.store = &Storage::Call;
    args.log_path = "";
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    const std::string longPath(5000, 'a');
    args.log_path = longPath.c_str();
    EXPECT_EQ(lib().talvo_records_collect_into(line_, 1, &args, &r), TALVO_E_INVALID);
    args.log_path = nullptr;
    EXPECT_EQ(lib().talvo_records_collect_into(nullptr, 1, &args, &r), TALVO_E_CLOSED);
    EXPECT_TRUE(sim().Frames().empty());
    EXPECT_EQ(r.stored, 77) << "nothing written";
    EXPECT_TRUE(storage.actions.empty());
}

TEST(BatchSame, TerminalCountAndRawRecordsWhateverTheMark) {
    HostLibrary lib;
    SetEnv("TALVO_DEFER_PORT", "1");
    ASSERT_TRUE(lib.Load());
    SetEnv("TALVO_DEFER_PORT", nullptr);
    talvo_batch a{};
    a.terminal = 3;
    a.mark = 0x0101;
    a.count = 2;
    a.kept = 2;
    std::memcpy(a.raw[0], "0000010010003224093000500016", 28);
    std::memcpy(a.raw[1], "0000020010003224093000500017", 28);
    talvo_batch b = a;
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 1);
    b.mark = 0x0102;  // marked anew
    b.kept = 0;       // derived, not compared
    b.status[0] = TALVO_RAW_DAMAGED;
    std::memcpy(a.raw[4], "garbage behind the count", 24);  // not part of the batch
    a.raw[0][29] = 'x';                                     // behind the 28 characters
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 1);
    b.raw[1][27] = '8';
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 0) << "one character";
    b = a;
    b.terminal = 4;
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 0) << "another terminal";
    b = a;
    b.count = 1;
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 0) << "fewer records";
    b.count = 0;
    a.count = 0;
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), 1) << "two empty batches of one terminal";
    b.count = 7;
    EXPECT_EQ(lib.talvo_batch_same(&a, &b), TALVO_E_INVALID);
    b.count = -1;
    EXPECT_EQ(lib.talvo_batch_same(&b, &a), TALVO_E_INVALID);
    EXPECT_EQ(lib.talvo_batch_same(&a, nullptr), TALVO_E_INVALID);
    EXPECT_EQ(lib.talvo_batch_same(nullptr, &a), TALVO_E_INVALID);
}

}  // namespace
}  // namespace talvo::test

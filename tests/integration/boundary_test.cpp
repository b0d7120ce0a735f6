// The 43 exports at their boundary: counts that would overflow, texts that
// do not end where the host meant, values a frame cannot carry, store files
// whose header lies.  Each is refused without a frame on the line.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "line_fixture.h"

using talvo::host::HostBlockSize;

namespace talvo::test {
namespace {

// Memory whose last bytes are followed by a page that faults when read: a
// text placed at the end has no terminator the library could reach.
class GuardedText {
public:
    GuardedText() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
#else
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
        if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
#endif
    }
    ~GuardedText() {
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        if (base_ != nullptr) munmap(base_, 2 * page_);
#endif
    }
    GuardedText(const GuardedText&) = delete;
    GuardedText& operator=(const GuardedText&) = delete;

    // `text` without its zero byte, ending at the guard page.
    const char* Place(const std::string& text) {
        char* at = base_ + page_ - text.size();
        std::memcpy(at, text.data(), text.size());
        return at;
    }
    bool Ready() const { return base_ != nullptr; }

private:
    std::size_t page_ = 0;
    char* base_ = nullptr;
};

using Boundary = LineTest;

TEST_F(Boundary, CountsThatWouldOverflowAreRefused) {
    std::vector<char> entries(6 * 16, '1');
    EXPECT_EQ(lib().SetHMD(1, 0, entries.data(), INT_MAX), 0);
    EXPECT_EQ(lib().SetHMD(1, 0, entries.data(), 715827883), 0);  // 6 x count wraps to 2 in 32 bits
    EXPECT_EQ(lib().SetHMD(1, 0, entries.data(), 65536 / 6), 0);  // one frame of 64 KiB at most
    std::vector<float> prices(16, 1.0f);
    EXPECT_EQ(lib().Setmenu(1, prices.data(), INT_MAX), 0);
    EXPECT_EQ(lib().Setmenu(1, prices.data(), 65536 / 6), 0);
    const std::string huge(1 << 20, '7');
    EXPECT_EQ(lib().AddHMD(1, huge.c_str()), 0);
    EXPECT_EQ(lib().SetBtTime(1, huge.c_str()), 0);
    EXPECT_EQ(lib().AddBtList(1, 0, huge.c_str()), 0);
    EXPECT_EQ(lib().SetAttendTime(2, huge.c_str()), 0);
    EXPECT_TRUE(sim().Frames().empty());
    // The one-byte count still wraps for a list that fits a frame.
    EXPECT_EQ(lib().SetHMD(1, 0, std::string(6 * 256, '2').c_str(), 256), 1);
    EXPECT_EQ(OnlyFrame().substr(11, 2), "00");
}

TEST_F(Boundary, TextsAreReadNoFurtherThanUsed) {
    GuardedText guard;
    ASSERT_TRUE(guard.Ready());
    // Twelve CMW characters, six key digits, sixteen clock characters: all
    // the library reads, and nothing behind them.
    EXPECT_EQ(lib().Setcmw(1, guard.Place("ABCDEFGHIJKL")), 1);
    EXPECT_EQ(lib().SetKey(1, 0, 0, guard.Place("A1B2C3")), 1);
    EXPECT_EQ(lib().CheckKey(1, 0, 0, guard.Place("A1B2C3")), 1);
    EXPECT_EQ(lib().SetMachTime(1, guard.Place("2026/12/07 09:05")), 1);
    auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], Request(1, 0x22, 0, 0, 6, "ABCDEFGHIJKL"));
    EXPECT_EQ(frames[1], Request(1, 0x21, 0, 0, 1, "A1B2C3"));
    EXPECT_EQ(frames[3], Request(1, 0x2A, 0, 0, 6, "2612070905"));
}

TEST_F(Boundary, ValuesAFrameCannotCarryAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {12345.0f, nan, inf, -inf, -0.01f, 9999.996f, 1e30f}) {
        EXPECT_EQ(lib().Setmdeb(1, bad), 0) << bad;
        EXPECT_EQ(lib().SetMaxbt(1, static_cast<double>(bad)), 0) << bad;
    }
    EXPECT_EQ(lib().SetMaxbt(1, 1e300), 0);
    const float prices[3] = {1.0f, 10000.0f, 2.0f};
    EXPECT_EQ(lib().Setmenu(1, prices, 3), 0) << "one bad price refuses the list";
    for (int t : {256, 257, -1, INT_MAX, INT_MIN}) {
        EXPECT_EQ(lib().InqStat(t), 0) << t;
        EXPECT_EQ(lib().ClearRAM(t), 0) << t;
        char* zones = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(lib().ReadTimeZone(t, &zones), 0) << t;
        EXPECT_EQ(zones, reinterpret_cast<char*>(0x1)) << "no block handed over";
        float amount = -7.0f;
        EXPECT_EQ(lib().Readmdeb(t, &amount), 0);
        EXPECT_EQ(amount, -7.0f);
    }
    EXPECT_TRUE(sim().Frames().empty());
    EXPECT_EQ(sim().Ok("get 1 mdeb"), "000000");

    // The largest amount, and a negative zero, still go out.
    EXPECT_EQ(lib().Setmdeb(1, 9999.99f), 1);
    EXPECT_EQ(sim().Ok("get 1 mdeb"), "999999");
    EXPECT_EQ(lib().Setmdeb(1, -0.0f), 1);
    EXPECT_EQ(sim().Ok("get 1 mdeb"), "000000");
    EXPECT_EQ(lib().InqStat(255), 0) << "255 is a terminal number, just not one that answers";
}

TEST_F(Boundary, ReadHmdNeverHandsOverMoreThan32Entries) {
    std::string list;
    for (int i = 0; i < 40; ++i) {
        char entry[8];
        std::snprintf(entry, sizeof entry, "%06d", i);
        list += entry;
    }
    // A reply that announces and carries 40 entries, after one of 33.
    for (int announced : {33, 40}) {
        sim().Ok("fault 34 countpayload " + std::to_string(announced) + "," + list.substr(0, 6 * announced));
        char* data = nullptr;
        int count = -1;
        ASSERT_EQ(lib().ReadHMD(1, 0, &data, &count), 1);
        EXPECT_EQ(count, 32) << announced;
        if (HostBlockSize(data) != 0) {
            EXPECT_EQ(HostBlockSize(data), 6u * 32u);
        }
        EXPECT_EQ(std::string(data, 6 * 32), list.substr(0, 6 * 32));
        host::FreeHostBlock(data);
    }
}

// ---- Store files whose header lies -------------------------------------------

const char* const kLyingStore = "boundary-store.dat";

void WriteStore(std::int32_t count, std::size_t records) {
    std::string header("CASEDATA\0\0\0\0", 12);
    header.append(reinterpret_cast<const char*>(&count), 4);
    std::ofstream(kLyingStore, std::ios::binary) << header << std::string(44 * records, 'r');
}

std::string ReadAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Boundary, AStoreWhoseCountDoesNotFitItsSizeIsNeverWritten) {
    sim().Ok("record 1 seal 00000100100032240930005000");
    for (std::int32_t lie : {5, INT32_MAX, 3}) {
        WriteStore(lie, lie == 3 ? 2 : 0);
        const std::string before = ReadAll(kLyingStore);
        int count = -1;
        float total = -1;
        EXPECT_EQ(lib().AutoReadJyzm(1, &count, &total, kLyingStore), 0) << lie;
        EXPECT_EQ(ReadAll(kLyingStore), before) << lie;
        EXPECT_EQ(sim().Ok("get 1 records"), "1") << "nothing acknowledged";
    }
    // Counting exactly what it holds, it is a store.
    WriteStore(2, 2);
    int count = -1;
    float total = -1;
    EXPECT_EQ(lib().AutoReadJyzm(1, &count, &total, kLyingStore), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ReadAll(kLyingStore).size(), 16u + 3 * 44);
    std::remove(kLyingStore);
    std::remove("ErrRec.doc");
}

}  // namespace
}  // namespace talvo::test

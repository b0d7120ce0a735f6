// talvod asleep when it has nothing to do: the CPU time a running service
// takes, counted from /proc, in each state a line can be left in for hours
// (its device missing, its terminal refusing or silent, the database down,
// nothing to collect).  Each state runs in a talvod of its own, all at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "harness.h"
#include "db/queries.h"

namespace talvo::test {
namespace {

const char* kJobs = "[http]\nport = 0\n[jobs]\ncollect = \"2s\"\nstatus = \"1s\"\nbackoff_min = \"1s\"\nbackoff_max = \"2s\"\n";

// User and system clock ticks of a process, all its threads.
long CpuTicks(pid_t pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    // Fields from the state (3) on; utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

std::string StateOf(const std::string& database) {
    auto db = service::Open(database);
    const auto r = db->Query("SELECT state FROM terminals WHERE number = 1", {});
    return r.empty() ? std::string() : service::AsText(r[0][0]);
}

TEST(CollectionQuiet, NoStateWakesTheWorkerBeforeItsDueTime) {
    TempDir dir;
    struct Site {
        std::string name;
        std::unique_ptr<SimLine> sim;
        std::unique_ptr<Talvod> talvod;
        std::string database;
    };
    std::vector<Site> sites;
    auto site = [&](const std::string& name, bool withDevice, const std::string& database = "") {
        Site s;
        s.name = name;
        const std::string folder = dir / name;
        std::filesystem::create_directory(folder);
        const std::string device = folder + "/tty";
        if (withDevice) s.sim = std::make_unique<SimLine>(device);
        s.database = database.empty() ? folder + "/talvod.db" : database;
        WriteText(folder + "/talvod.toml", ConfigText(s.database, kJobs, {LineBlock("hall", device, {"1"})}));
        sites.push_back(std::move(s));
        return sites.size() - 1;
    };
    const auto missing = site("missing", false);
    const auto refusing = site("refusing", true);
    const auto silent = site("silent", true);
    // PostgreSQL behind a socket folder that does not exist.
    const auto dbDown = site("dbdown", true, "postgresql://talvo@/postgres?host=" + dir / "nowhere");
    const auto idle = site("idle", true);
    sites[dbDown].sim->Ok("add 1");
    RawRecord r;
    sites[dbDown].sim->Ok("record 1 seal " + r.Text());
    sites[idle].sim->Ok("add 1");
    for (Site& s : sites) {
        s.talvod = std::make_unique<Talvod>(dir / s.name + "/talvod.toml", dir / s.name + "/talvod.log");
        ASSERT_GT(s.talvod->Port(), 0) << s.talvod->Log();
    }

    // The refusing terminal is silent first and comes back refusing every
    // request: from its back-off into the jobs' intervals.
    ASSERT_TRUE(WaitFor([&] { return StateOf(sites[refusing].database) == "down"; }))
        << sites[refusing].talvod->Log();
    sites[refusing].sim->Ok("add 1");
    sites[refusing].sim->Ok("fault any status NO times=0");
    ASSERT_TRUE(WaitFor([&] { return StateOf(sites[refusing].database) == "refusing"; }))
        << sites[refusing].talvod->Log();
    ASSERT_TRUE(WaitFor([&] { return StateOf(sites[silent].database) == "down"; }));
    ASSERT_TRUE(WaitFor([&] { return StateOf(sites[idle].database) == "up"; }));
    ASSERT_TRUE(WaitFor([&] { return sites[dbDown].talvod->Count("database-unavailable") >= 1; }));
    ASSERT_TRUE(WaitFor([&] { return sites[missing].talvod->Count("line-unavailable") >= 1; }));

    // A few seconds of each state; 1 % of a core is one tick in a second.
    sites[refusing].sim->Ok("clearframes");
    std::vector<long> before;
    for (Site& s : sites) before.push_back(CpuTicks(s.talvod->pid()));
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(6));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long hz = sysconf(_SC_CLK_TCK);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const long ticks = CpuTicks(sites[i].talvod->pid()) - before[i];
        const double share = 100.0 * static_cast<double>(ticks) / (seconds * static_cast<double>(hz));
        std::printf("[ figure   ] %-8s %ld ticks in %.1f s: %.2f %% of a core\n", sites[i].name.c_str(), ticks,
                    seconds, share);
        EXPECT_LE(share, 1.0) << sites[i].name << "\n" << sites[i].talvod->Log();
    }
    // Requests to the refusing terminal: a status a second and a
    // collection every two at most (today it was a flood of thousands).
    const int requests = sites[refusing].sim->RequestsFor(1);
    std::printf("[ figure   ] refusing terminal: %d requests in %.1f s\n", requests, seconds);
    EXPECT_LE(requests, static_cast<int>(seconds * 1.5) + 3);
    EXPECT_EQ(StateOf(sites[refusing].database), "refusing");
    for (Site& s : sites) {
        s.talvod->Signal(SIGTERM);
        EXPECT_EQ(s.talvod->Wait(), 0) << s.talvod->Log();
    }
}

}  // namespace
}  // namespace talvo::test

// The page in a real headless Chromium against a running talvod fed by
// software terminals: it loads without any other site, shows the right
// numbers, and its screenshot is kept as a test artefact in the build tree.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "harness.h"

namespace talvo::test {
namespace {

std::string Chromium() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (std::filesystem::exists(p)) return p;
    }
    return "";
}

// The text of the element with this id in the dumped DOM.
std::string TextOf(const std::string& dom, const std::string& id) {
    std::smatch m;
    if (!std::regex_search(dom, m, std::regex("id=\"" + id + "\"[^>]*>([^<]*)<"))) return "<missing>";
    return m[1];
}

int CountOf(const std::string& dom, const std::string& text) {
    int n = 0;
    for (std::size_t at = dom.find(text); at != std::string::npos; at = dom.find(text, at + 1)) ++n;
    return n;
}

TEST(Page, InChromium) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    b.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db", "[http]\nport = 0\n[jobs]\ncollect = \"300ms\"\nbackoff_min = \"1s\"\n",
                         {LineBlock("north", a.link(), {"1", "2", "3:attendance"}), LineBlock("south", b.link(), {"1", "9"})}));
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    int records = 0;
    std::int64_t takings = 0;
    for (int i = 0; i < 64; ++i) {
        RawRecord r;
        r.card = std::to_string(800000 + i);
        r.type = i % 6 == 0 ? 13 : 5;
        r.cents = 250 + 95 * i;
        r.month = tm.tm_mon + 1;
        r.day = tm.tm_mday;
        r.hour = 7 + i % 12;
        r.minute = i % 60;
        SimLine& sim = i % 4 == 3 ? b : a;
        const int terminal = i % 4 == 3 ? 1 : 1 + i % 3;
        sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
        ++records;
        if (r.type == 5) takings += r.cents;
    }
    RawRecord bad;
    bad.card = "800999";
    a.Ok("record 2 damaged " + bad.Text());

    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) + a.Held(2) + a.Held(3) + b.Held(1) == 0; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return HttpGet(port, "/api/terminals").body.find("\"state\":\"down\"") != std::string::npos; }));

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    // Chromium keeps its profile and temporary files in the test's folder.
    const std::vector<std::string> env = {"HOME=" + dir.path(), "TMPDIR=" + dir.path()};
    const std::vector<std::string> common = {chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
                                             "--no-first-run", "--user-data-dir=" + (dir / "profile"),
                                             "--virtual-time-budget=8000"};
    std::vector<std::string> dump = common;
    dump.insert(dump.end(), {"--dump-dom", url});
    std::string dom;
    ASSERT_EQ(RunProgram(dump, dom, env), 0) << dom;

    EXPECT_NE(dom.find("data-loaded=\"1\""), std::string::npos) << dom;
    char money[32];
    std::snprintf(money, sizeof money, "%lld.%02lld", static_cast<long long>(takings / 100),
                  static_cast<long long>(takings % 100));
    std::string shown = money;
    // Thousands apart by a blank, as the page writes them.
    for (int at = static_cast<int>(shown.find('.')) - 3; at > 0; at -= 3) shown.insert(static_cast<std::size_t>(at), " ");
    EXPECT_EQ(TextOf(dom, "summary-records"), std::to_string(records));
    EXPECT_EQ(TextOf(dom, "summary-takings"), shown);
    EXPECT_EQ(TextOf(dom, "summary-answering"), "4 / 5");
    EXPECT_EQ(CountOf(dom, "data-terminal=\""), 5);
    EXPECT_NE(dom.find("data-terminal=\"south:9\" data-state=\"down\""), std::string::npos);
    EXPECT_NE(dom.find("silent since"), std::string::npos);
    EXPECT_EQ(CountOf(dom, "<tr data-id="), 25);
    EXPECT_EQ(TextOf(dom, "records-count"), "1–25 of " + std::to_string(records));
    EXPECT_NE(dom.find("damaged: the check pair does not match"), std::string::npos);
    EXPECT_EQ(CountOf(dom, "class=\"bar\""), 24 + tm.tm_mday);
    EXPECT_EQ(dom.find("class=\"error\""), std::string::npos);

    std::filesystem::create_directories(TALVOD_ARTIFACTS);
    const std::string png = std::string(TALVOD_ARTIFACTS) + "/talvod-page.png";
    std::filesystem::remove(png);
    std::vector<std::string> shot = common;
    shot.insert(shot.end(), {"--hide-scrollbars", "--window-size=1280,1500", "--screenshot=" + png, url});
    std::string out;
    ASSERT_EQ(RunProgram(shot, out, env), 0) << out;
    const std::string image = ReadText(png);
    ASSERT_GT(image.size(), 10000u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    std::printf("[ page     ] screenshot: %s\n", png.c_str());

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

}  // namespace
}  // namespace talvo::test

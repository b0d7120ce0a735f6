// The page in a real headless Chromium against a running talvod fed by
// software terminals: it loads without any other site, shows the right
// numbers, and its screenshot is kept as a test artefact in the build tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>

#include "harness.h"
#include "rogue_peer.h"

extern char** environ;

namespace talvo::test {
namespace {

using nlohmann::json;

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

// Headless Chromium driven over its DevTools protocol on a pipe (file
// descriptors 3 and 4 of the browser, one JSON message per NUL-ended
// piece): a page to load, scripts to evaluate in it, real mouse clicks and
// typing.
class Browser {
public:
    Browser(const std::string& chromium, const TempDir& dir) {
        int toBrowser[2], fromBrowser[2];
        if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) return;
        std::vector<std::string> argv = {chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                         "--user-data-dir=" + (dir / "profile"), "--remote-debugging-pipe",
                                         "--window-size=1280,1500", "about:blank"};
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
        // Its profile and temporary files stay in the test's folder.
        environment.push_back("HOME=" + dir.path());
        environment.push_back("TMPDIR=" + dir.path());
        std::vector<char*> cenv;
        for (std::string& e : environment) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
        posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // A group of its own, so that its helper processes can be ended with it.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        if (posix_spawn(&pid_, cargv[0], &actions, &attr, cargv.data(), cenv.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(toBrowser[0]);
        close(fromBrowser[1]);
        out_ = toBrowser[1];
        in_ = fromBrowser[0];
    }
    ~Browser() {
        if (pid_ > 0) {
            Send("Browser.close", json::object(), "");
            int status = 0;
            if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10))) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
    }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Opens `url` in a new page; false when the browser does not answer.
    bool Open(const std::string& url) {
        const json target = Send("Target.createTarget", {{"url", "about:blank"}}, "");
        if (!target.contains("targetId")) return false;
        const json attached = Send("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, "");
        if (!attached.contains("sessionId")) return false;
        session_ = attached["sessionId"];
        return Send("Page.navigate", {{"url", url}}).contains("frameId");
    }
    void Reload() { Send("Page.reload", json::object()); }
    // The page as a browser set to `locale` shows it (from the next load on).
    void Locale(const std::string& locale) { Send("Emulation.setLocaleOverride", {{"locale", locale}}); }
    // The system's colour scheme as the page sees it: "light" or "dark".
    void Scheme(const std::string& scheme) {
        Send("Emulation.setEmulatedMedia",
             {{"features", json::array({{{"name", "prefers-color-scheme"}, {"value", scheme}}})}});
    }
    // A screen `width` CSS pixels wide, as a phone's.
    void Width(int width) {
        Send("Emulation.setDeviceMetricsOverride",
             {{"width", width}, {"height", 844}, {"deviceScaleFactor", 1}, {"mobile", true}});
    }
    // The value of a script in the page (awaited when a promise).
    json Eval(const std::string& script) {
        const json r = Send("Runtime.evaluate", {{"expression", script}, {"returnByValue", true}, {"awaitPromise", true}});
        if (!r.contains("result") || r.contains("exceptionDetails")) {
            ADD_FAILURE() << script << ": " << r.dump();
            return nullptr;
        }
        return r["result"].value("value", json());
    }
    // Waits until the script's value is true; the page may still be
    // loading meanwhile (an exception counts as not yet).
    bool Until(const std::string& script) {
        const std::string guarded = "(() => { try { return !!(" + script + "); } catch (e) { return false; } })()";
        return WaitFor([&] { return Eval(guarded) == true; }, std::chrono::seconds(30));
    }
    std::string Text(const std::string& selector) {
        const json v = Eval("(e => e ? e.textContent : '<missing>')(document.querySelector(" + json(selector).dump() + "))");
        return v.is_string() ? v.get<std::string>() : "<none>";
    }
    // A left click in the middle of the element, as a mouse would.
    void Click(const std::string& selector) {
        const json at = Eval("(() => { const e = document.querySelector(" + json(selector).dump() +
                             "); if (!e) return null; e.scrollIntoView({block: 'center'});"
                             " const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; })()");
        ASSERT_TRUE(at.is_array()) << "nothing to click at " << selector;
        for (const char* type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
            Send("Input.dispatchMouseEvent",
                 {{"type", type}, {"x", at[0]}, {"y", at[1]}, {"button", "left"}, {"clickCount", 1}});
        }
    }
    // A screenshot of the page as it is, as PNG; false when none came.
    bool Screenshot(const std::string& path) {
        const json shot = Send("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}});
        if (!shot.contains("data") || !shot["data"].is_string()) return false;
        const std::string png = Base64(shot["data"].get<std::string>());
        if (png.empty()) return false;
        WriteText(path, png);
        return true;
    }
    // Chooses an option of a <select> as a user would (its change event).
    void Choose(const std::string& selector, const std::string& value) {
        Eval("(e => { e.value = " + json(value).dump() + "; e.dispatchEvent(new Event('change')); })(document.querySelector(" +
             json(selector).dump() + "))");
    }
    // Types text into the element (emptied first).
    void Type(const std::string& selector, const std::string& text) {
        Click(selector);
        Eval("document.querySelector(" + json(selector).dump() + ").value = ''");
        Send("Input.insertText", {{"text", text}});
    }

private:
    static std::string Base64(const std::string& text) {
        std::string out;
        unsigned value = 0;
        int bits = 0;
        for (const char c : text) {
            int v;
            if (c >= 'A' && c <= 'Z') v = c - 'A';
            else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
            else if (c >= '0' && c <= '9') v = c - '0' + 52;
            else if (c == '+') v = 62;
            else if (c == '/') v = 63;
            else if (c == '=') break;
            else return "";
            value = (value << 6) | static_cast<unsigned>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out.push_back(static_cast<char>((value >> bits) & 0xFF));
            }
        }
        return out;
    }

    // One command; its result (empty when the browser did not answer).
    json Send(const std::string& method, const json& params, std::optional<std::string> session = std::nullopt) {
        json message = {{"id", ++id_}, {"method", method}, {"params", params}};
        const std::string sessionId = session ? *session : session_;
        if (!sessionId.empty()) message["sessionId"] = sessionId;
        const std::string text = message.dump() + std::string(1, '\0');
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t n = write(out_, text.data() + at, text.size() - at);
            if (n <= 0) return json::object();
            at += static_cast<std::size_t>(n);
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            for (std::size_t nul; (nul = buffer_.find('\0')) != std::string::npos;) {
                json reply = json::parse(buffer_.substr(0, nul), nullptr, false);
                buffer_.erase(0, nul + 1);
                if (reply.is_object() && reply.value("id", -1) == id_) {
                    if (reply.contains("error")) return json::object({{"error", reply["error"]}});
                    return reply["result"];
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{in_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return json::object();
            char chunk[65536];
            const ssize_t n = read(in_, chunk, sizeof chunk);
            if (n <= 0) return json::object();
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    int id_ = 0;
    std::string buffer_;
    std::string session_;
};

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

// Each line's own state above the tiles: a serial line open, a network
// line whose device server refuses the connection with the system's words,
// and that line's terminals saying "line down" rather than "silent".
TEST(Page, LinesShowTheirOwnState) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    int gone = 0;
    {
        RoguePeer closed(RoguePeer::Mode::kBusy);
        gone = closed.Port();
    }
    const std::string device = "tcp://127.0.0.1:" + std::to_string(gone);
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db", "[http]\nport = 0\n[jobs]\ncollect = \"300ms\"\nbackoff_min = \"1s\"\n",
                         {LineBlock("north", a.link(), {"1"}), LineBlock("yard", device, {"1", "2"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] {
        const std::string t = HttpGet(port, "/api/terminals").body;
        return CountOf(t, "line down: ") == 2 && t.find("\"state\":\"up\"") != std::string::npos;
    })) << HttpGet(port, "/api/terminals").body;

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    const std::vector<std::string> env = {"HOME=" + dir.path(), "TMPDIR=" + dir.path()};
    std::string dom;
    ASSERT_EQ(RunProgram({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                          "--user-data-dir=" + (dir / "profile"), "--virtual-time-budget=8000", "--dump-dom", url},
                         dom, env),
              0)
        << dom;
    EXPECT_NE(dom.find("data-loaded=\"1\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-line=\"north\" data-state=\"connected\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-line=\"yard\" data-state=\"refused\""), std::string::npos) << dom;
    EXPECT_NE(dom.find(device), std::string::npos);
    EXPECT_NE(dom.find("Connection refused"), std::string::npos);
    EXPECT_EQ(CountOf(dom, "line down since"), 2) << dom;
    EXPECT_EQ(dom.find("silent since"), std::string::npos);
    EXPECT_EQ(dom.find("class=\"error\""), std::string::npos);
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// "Collect now" from the page of a service with a token: the page asks for
// the token in its own form (once: it is kept for the session), says so
// plainly when the token is wrong, and shows on the terminal's tile what
// the collection came to while the records appear below.
TEST(Page, CollectNowWithToken) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    const std::string token = "page-token-5d1f0c";
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         "[http]\nport = 0\ntoken = \"" + token + "\"\n[jobs]\ncollect = \"1h\"\nclock_at_start = false\n",
                         {LineBlock("north", a.link(), {"1", "9"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    // The collection at the start is over (terminal 9 found silent) before
    // records are queued: only "collect now" can fetch them.
    ASSERT_TRUE(WaitFor([&] {
        return HttpGet(port, "/api/jobs", token).body.find("\"job\":\"collect\"") != std::string::npos;
    })) << talvod.Log();
    std::vector<std::string> cards;
    for (int i = 0; i < 3; ++i) {
        RawRecord r;
        r.card = std::to_string(810001 + i);
        a.Ok("record 1 seal " + r.Text());
        cards.push_back(r.card);
    }

    Browser browser(chromium, dir);
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/")) << "no answer from chromium";
    ASSERT_TRUE(browser.Until("!document.getElementById('token-form').hidden"));
    EXPECT_EQ(browser.Text("#token-message"), "This service needs its token.");

    browser.Type("#token", "not-the-token");
    browser.Click("#token-form button");
    ASSERT_TRUE(browser.Until("document.getElementById('token-message').textContent.includes('refused')"));
    EXPECT_EQ(browser.Eval("document.getElementById('token-form').hidden"), false);
    EXPECT_EQ(browser.Eval("sessionStorage.getItem('talvod-token')"), nullptr);

    browser.Type("#token", token);
    browser.Click("#token-form button");
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1'"));
    EXPECT_EQ(browser.Eval("document.getElementById('token-form').hidden"), true);
    EXPECT_EQ(browser.Eval("sessionStorage.getItem('talvod-token')"), token);
    EXPECT_EQ(browser.Text("#records-count"), "no records");

    browser.Click("[data-terminal='north:1'] button.collect");
    ASSERT_TRUE(browser.Until("!!document.querySelector(\"[data-terminal='north:1'] .collect-outcome.ok\")"))
        << browser.Text("[data-terminal='north:1'] .collect-outcome");
    EXPECT_EQ(browser.Text("[data-terminal='north:1'] .collect-outcome"), "3 records collected");
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#records tbody tr').length === 3"))
        << browser.Text("#records");
    const std::string table = browser.Text("#records tbody");
    for (const std::string& card : cards) EXPECT_NE(table.find(card), std::string::npos) << card << " in " << table;
    EXPECT_EQ(a.Held(1), 0);

    // The silent terminal: the reason on its tile.
    browser.Click("[data-terminal='north:9'] button.collect");
    ASSERT_TRUE(browser.Until("!!document.querySelector(\"[data-terminal='north:9'] .collect-outcome.error\")"))
        << browser.Text("[data-terminal='north:9'] .collect-outcome");
    EXPECT_EQ(browser.Text("[data-terminal='north:9'] .collect-outcome").find("collected"), std::string::npos);

    // The token changed at the service (SIGHUP): "Collect now" is refused,
    // the page asks again, and goes on with the collection once told.
    const std::string fresh = "page-token-9a7e21";
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         "[http]\nport = 0\ntoken = \"" + fresh + "\"\n[jobs]\ncollect = \"1h\"\nclock_at_start = false\n",
                         {LineBlock("north", a.link(), {"1", "9"})}));
    talvod.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return talvod.Count(" reloaded ") == 1; })) << talvod.Log();
    RawRecord late;
    late.card = "810099";
    a.Ok("record 1 seal " + late.Text());
    browser.Click("[data-terminal='north:1'] button.collect");
    ASSERT_TRUE(browser.Until("!document.getElementById('token-form').hidden"));
    EXPECT_NE(browser.Text("#token-message").find("refused"), std::string::npos) << browser.Text("#token-message");
    EXPECT_EQ(a.Held(1), 1);
    browser.Type("#token", fresh);
    browser.Click("#token-form button");
    ASSERT_TRUE(browser.Until("document.querySelector(\"[data-terminal='north:1'] .collect-outcome\").textContent"
                              " === '1 record collected'"))
        << browser.Text("[data-terminal='north:1'] .collect-outcome");
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#records tbody tr').length === 4"));
    EXPECT_EQ(browser.Eval("sessionStorage.getItem('talvod-token')"), fresh);

    // Loaded again in the same session: no question.
    browser.Eval("window.before = true");
    browser.Reload();
    ASSERT_TRUE(browser.Until("!window.before && document.body.dataset.loaded === '1'"));
    EXPECT_EQ(browser.Eval("document.getElementById('token-form').hidden"), true);

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// What a site's staff read on the page: attendance terminals as what they
// are, terminals by their configured names, times in the browser's own
// style (with the date when not today), amounts in the configured currency,
// totals for a period, filters by card and type, and a phone's width.
TEST(Page, NamesTimesTotalsFiltersAndPhoneWidth) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    const std::string line = "[[line]]\nname = \"hall\"\ndevice = \"" + a.link() +
                             "\"\nbaud = 9600\necho_time_ms = 100\nwait_time_ms = 300\ntries = 2\n"
                             "[[line.terminal]]\nnumber = 1\nname = \"Till A\"\n"
                             "[[line.terminal]]\nnumber = 2\nname = \"Till B\"\n"
                             "[[line.terminal]]\nnumber = 3\nkind = \"attendance\"\nname = \"Door\"\n";
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db",
                                              "[http]\nport = 0\ncurrency = \"EUR\"\n[jobs]\ncollect = \"300ms\"\n",
                                              {line}));
    const std::time_t now = std::time(nullptr);
    std::tm today{}, yesterday{};
    localtime_r(&now, &today);
    const std::time_t before = now - 86400;
    localtime_r(&before, &yesterday);
    auto record = [&](int terminal, const char* card, int type, int cents, const std::tm& day, int hour, int minute) {
        RawRecord r;
        r.card = card;
        r.type = type;
        r.cents = cents;
        r.month = day.tm_mon + 1;
        r.day = day.tm_mday;
        r.hour = hour;
        r.minute = minute;
        a.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
    };
    record(2, "820001", 5, 250, today, 7, 5);
    record(2, "820002", 13, 5000, today, 16, 30);
    record(2, "820003", 5, 1000, yesterday, 9, 15);
    record(1, "820004", 5, 125, today, 9, 0);

    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) + a.Held(2) == 0; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return HttpGet(port, "/api/jobs").body.find("\"job\":\"clock\"") != std::string::npos; }));

    Browser browser(chromium, dir);
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/")) << "no answer from chromium";
    browser.Locale("en-US");
    browser.Reload();
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1' && document.querySelectorAll('#records tbody tr').length === 4"));
    EXPECT_EQ(browser.Text(".error"), "<missing>");

    // The attendance terminal: its state and clock, no takings, nothing to collect.
    const std::string door = browser.Text("[data-terminal='hall:3']");
    EXPECT_NE(door.find("Door"), std::string::npos) << door;
    EXPECT_NE(door.find("clock set "), std::string::npos) << door;
    EXPECT_EQ(door.find("record"), std::string::npos) << door;
    EXPECT_EQ(browser.Eval("document.querySelector(\"[data-terminal='hall:3'] button\") === null"), true);
    EXPECT_EQ(browser.Eval("document.querySelector(\"[data-terminal='hall:2'] button.collect\") !== null"), true);

    // Records by the terminals' names; one time style, the date when not today.
    auto cell = [&](const std::string& card, int column) {
        return browser.Eval("[...document.querySelectorAll('#records tbody tr')].filter(r => r.cells[2].textContent === '" +
                            card + "').map(r => r.cells[" + std::to_string(column) + "].textContent).join('|')");
    };
    EXPECT_EQ(cell("820002", 1), "Till B");
    EXPECT_EQ(cell("820004", 1), "Till A");
    EXPECT_EQ(cell("820002", 0), "04:30 PM");
    EXPECT_EQ(cell("820001", 0), "07:05 AM");
    const json day = browser.Eval("new Date(" + std::to_string(yesterday.tm_year + 1900) + ", " +
                                  std::to_string(yesterday.tm_mon) + ", " + std::to_string(yesterday.tm_mday) +
                                  ").toLocaleDateString()");
    ASSERT_TRUE(day.is_string());
    EXPECT_EQ(cell("820003", 0), day.get<std::string>() + " 09:15 AM");
    const std::string seen = browser.Text("[data-terminal='hall:1'] .detail");
    EXPECT_TRUE(std::regex_search(seen, std::regex("last seen \\d\\d:\\d\\d [AP]M"))) << seen;

    // Amounts in the configured currency.
    EXPECT_EQ(browser.Text("#summary-takings"), "€3.75");
    EXPECT_EQ(cell("820002", 4), "€50.00");

    // Totals per terminal for a period: yesterday and today.
    char from[48];
    std::snprintf(from, sizeof from, "%04d-%02d-%02d", yesterday.tm_year + 1900, yesterday.tm_mon + 1, yesterday.tm_mday);
    browser.Eval("document.getElementById('totals-from').value = '" + std::string(from) + "'");
    browser.Click("#totals-form button");
    ASSERT_TRUE(browser.Until("document.getElementById('totals-period').textContent.startsWith('" + std::string(from) + "')"));
    auto totals = [&](const std::string& key) {
        return browser.Eval("[...document.querySelector(\"#totals tr[data-key='" + key +
                            "']\").cells].map(c => c.textContent).join('|')");
    };
    EXPECT_EQ(totals("hall:2"), "Till B|3|€12.50|€37.50");
    EXPECT_EQ(totals("hall:1"), "Till A|1|€1.25|-€1.25");

    // The records of one card and type.
    browser.Type("#filter-card", "820002");
    browser.Eval("document.getElementById('filter-type').value = 'deposit'");
    browser.Click("#filter button[type=submit]");
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#records tbody tr').length === 1"));
    EXPECT_EQ(cell("820002", 3), "deposit");
    browser.Eval("document.getElementById('filter-type').value = 'payment'");
    browser.Click("#filter button[type=submit]");
    ASSERT_TRUE(browser.Until("document.getElementById('records-count').textContent === 'no records'"));

    // Another locale, another style, the same everywhere.
    browser.Locale("de-DE");
    browser.Reload();
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1' && document.querySelectorAll('#records tbody tr').length === 4"));
    EXPECT_EQ(cell("820002", 0), "16:30");
    const std::string gesehen = browser.Text("[data-terminal='hall:1'] .detail");
    EXPECT_TRUE(std::regex_search(gesehen, std::regex("last seen \\d\\d:\\d\\d( |$)"))) << gesehen;
    EXPECT_EQ(gesehen.find("M "), std::string::npos) << gesehen;

    // A phone: nothing wider than its screen.
    browser.Width(390);
    browser.Reload();
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1' && innerWidth === 390"));
    EXPECT_LE(browser.Eval("document.documentElement.scrollWidth").get<int>(), 390);
    EXPECT_EQ(browser.Eval("[...document.querySelectorAll('main > section, header, footer')]"
                           ".filter(e => e.getBoundingClientRect().right > 390.5).length"),
              0);

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

const std::string kAdmin = "page-admin-0123456789";
const std::string kReader = "page-reader-0123456789";

std::string ManagedConfig(const TempDir& dir, const std::vector<std::string>& lines) {
    return ConfigText(dir / "talvod.db",
                      "[http]\nport = 0\ntoken = \"" + kAdmin + "\"\n[[http.user]]\nname = \"office\"\nrole = \"read\"\n"
                      "token = \"" + kReader + "\"\n[jobs]\ncollect = \"2s\"\nstatus = \"1s\"\nbackoff_min = \"500ms\"\n"
                      "backoff_max = \"2s\"\nclock_at_start = false\n",
                      lines);
}

bool Holds(SimLine& sim, int terminal, const std::string& card) {
    const std::string list = sim.Ok("get " + std::to_string(terminal) + " blacklist");
    for (std::size_t at = 0; at + 6 <= list.size(); at += 6) {
        if (list.compare(at, 6, card) == 0) return true;
    }
    return false;
}

// The page's view of the site's terminals kept in a desired state, and
// its screenshot kept beside the overview's.
void KeepScreenshot(Browser& browser, const std::string& name) {
    std::filesystem::create_directories(TALVOD_ARTIFACTS);
    const std::string png = std::string(TALVOD_ARTIFACTS) + "/" + name;
    std::filesystem::remove(png);
    ASSERT_TRUE(browser.Screenshot(png));
    const std::string image = ReadText(png);
    ASSERT_GT(image.size(), 10000u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    std::printf("[ page     ] screenshot: %s\n", png.c_str());
}

// A lost card blocked from the Cards view, by clicks: every software
// terminal then holds it in its own blacklist, the card's terminals show
// it applied (pending on a silent one until it answers again), its history
// and the changes table say who did it.  A
// read-only token is refused with the service's own reason, and nothing
// of what it tried reaches a terminal.
TEST(Page, CardsViewBlocksAndUnblocks) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    SimLine a(dir / "ttyA"), b(dir / "ttyB"), c(dir / "ttyC");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    b.Ok("add 1");
    c.Ok("add 1");
    WriteText(dir / "talvod.toml", ManagedConfig(dir, {LineBlock("north", a.link(), {"1@canteen", "2", "3:attendance"}),
                                                       LineBlock("south", b.link(), {"1"}),
                                                       LineBlock("east", c.link(), {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    // East's terminal answered once, then fell silent.
    auto stateOf = [&](const std::string& line) {
        const json all = json::parse(HttpGet(port, "/api/terminals", kReader).body, nullptr, false);
        if (all.is_object()) {
            for (const json& t : all["terminals"]) {
                if (t["line"] == line) return t["state"].get<std::string>();
            }
        }
        return std::string();
    };
    ASSERT_TRUE(WaitFor([&] { return stateOf("east") == "up"; })) << talvod.Log();
    c.Ok("fault any silence times=0");
    ASSERT_TRUE(WaitFor([&] { return stateOf("east") == "down"; })) << talvod.Log();

    Browser browser(chromium, dir);
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/")) << "no answer from chromium";
    ASSERT_TRUE(browser.Until("!document.getElementById('token-form').hidden"));
    browser.Type("#token", kAdmin);
    browser.Click("#token-form button");
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1'"));
    EXPECT_EQ(browser.Text(".error"), "<missing>");
    EXPECT_EQ(browser.Text("#audit tbody"), "no changes");

    // Not a card number: said so, nothing asked.
    browser.Type("#card-q", "12ab");
    browser.Click("#card-search button");
    ASSERT_TRUE(browser.Until("document.getElementById('card-search-note').textContent.includes('six digits')"));
    EXPECT_EQ(browser.Eval("document.getElementById('card-detail').hidden"), true);

    browser.Type("#card-q", "123456");
    browser.Click("#card-search button");
    ASSERT_TRUE(browser.Until("document.getElementById('card-status').textContent === 'not blocked'"))
        << browser.Text("#card-detail");
    EXPECT_EQ(browser.Text("#card-number"), "123456");
    EXPECT_EQ(browser.Text("#card-history tbody"), "never blocked");

    browser.Type("#card-reason", "lost at lunch");
    browser.Click("#card-block");
    ASSERT_TRUE(browser.Until("document.getElementById('card-outcome').className === 'ok'")) << browser.Text("#card-outcome");
    EXPECT_TRUE(WaitFor([&] { return Holds(a, 1, "123456") && Holds(a, 2, "123456") && Holds(b, 1, "123456"); }))
        << talvod.Log();
    EXPECT_EQ(a.Ok("get 3 blacklist"), "") << "an attendance terminal keeps no blacklist";
    // The page follows the push until every answering terminal holds the
    // card; the silent one is pending, and catches up when it answers.
    const std::string states = "[...document.querySelectorAll('#card-terminals tbody tr')].map(r => r.dataset.terminal +"
                               " '=' + r.dataset.state).join(' ')";
    ASSERT_TRUE(browser.Until(states + " === 'east:1=pending north:1=applied north:2=applied south:1=applied'"))
        << browser.Eval(states);
    EXPECT_FALSE(Holds(c, 1, "123456"));
    c.Ok("clearfaults");
    EXPECT_TRUE(WaitFor([&] { return Holds(c, 1, "123456"); }));
    ASSERT_TRUE(browser.Until(states + " === 'east:1=applied north:1=applied north:2=applied south:1=applied'"))
        << browser.Eval(states);
    EXPECT_EQ(browser.Text("#card-status"), "blocked for the whole site (lost at lunch)");
    EXPECT_EQ(browser.Eval("[...document.querySelectorAll('#card-history tbody tr')].map(r => r.cells[1].textContent + '|' +"
                           " r.cells[3].textContent + '|' + r.cells[4].textContent).join(';')"),
              "block|lost at lunch|admin");
    ASSERT_TRUE(browser.Until("document.querySelector('#audit tbody tr').cells[3].textContent === 'block card'"));
    EXPECT_EQ(browser.Eval("document.querySelector('#audit tbody tr').cells[1].textContent"), "admin");
    EXPECT_EQ(browser.Eval("document.querySelector('#audit tbody tr').cells[2].textContent"), "127.0.0.1");
    // The view opens with the blocked cards, newest first, without a search.
    browser.Eval("window.before = true");
    browser.Reload();
    ASSERT_TRUE(browser.Until("!window.before && document.body.dataset.loaded === '1'"));
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#card-list tbody tr').length === 1"));
    EXPECT_EQ(browser.Text("#card-list tbody tr td:nth-child(1)"), "123456");
    EXPECT_EQ(browser.Text("#card-search-note"), "1 card blocked, newest first");
    // Found by its first digits among the blocked cards.
    browser.Type("#card-q", "1234");
    browser.Click("#card-search button");
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#card-list tbody tr').length === 1"));
    EXPECT_EQ(browser.Text("#card-list tbody tr td:nth-child(3)"), "blocked");
    browser.Click("#card-list tbody tr .card-open");
    ASSERT_TRUE(browser.Until("document.getElementById('card-status').textContent.startsWith('blocked')"));

    // Found again: off every terminal, and the history keeps both.
    browser.Type("#card-reason", "found at the desk");
    browser.Click("#card-unblock");
    ASSERT_TRUE(browser.Until("document.getElementById('card-outcome').textContent.startsWith('unblocked')"))
        << browser.Text("#card-outcome");
    EXPECT_TRUE(WaitFor([&] {
        return !Holds(a, 1, "123456") && !Holds(a, 2, "123456") && !Holds(b, 1, "123456") && !Holds(c, 1, "123456");
    }));
    ASSERT_TRUE(browser.Until("document.querySelectorAll('#card-history tbody tr').length === 2"));
    EXPECT_EQ(browser.Text("#card-history tbody tr td:nth-child(2)"), "unblock");
    ASSERT_TRUE(browser.Until("(rows => rows.length === 4 && rows.every(r => r.dataset.state === 'absent'))"
                              "([...document.querySelectorAll('#card-terminals tbody tr')])"))
        << browser.Text("#card-terminals");
    KeepScreenshot(browser, "talvod-page-cards.png");

    // The office's read-only token: it sees the card, its block is refused
    // in the service's words, and no terminal gets anything.
    browser.Eval("sessionStorage.setItem('talvod-token', '" + kReader + "')");
    browser.Eval("window.before = true");
    browser.Reload();
    ASSERT_TRUE(browser.Until("!window.before && document.body.dataset.loaded === '1'"));
    browser.Type("#card-q", "654321");
    browser.Click("#card-search button");
    ASSERT_TRUE(browser.Until("document.getElementById('card-status').textContent === 'not blocked'"));
    browser.Type("#card-reason", "stolen");
    browser.Click("#card-block");
    ASSERT_TRUE(browser.Until("document.getElementById('card-outcome').className === 'error'")) << browser.Text("#card-outcome");
    EXPECT_EQ(browser.Text("#card-outcome"), "this needs an administrator's token; 'office' may only read");
    EXPECT_EQ(browser.Eval("document.getElementById('token-form').hidden"), true) << "a valid token is kept";
    EXPECT_EQ(browser.Text("#card-status"), "not blocked");
    // Its try is written down as refused.
    const json audit = json::parse(HttpGet(port, "/api/audit", kReader).body)["audit"];
    ASSERT_EQ(audit.size(), 3u);
    EXPECT_EQ(audit[0]["outcome"].get<std::string>().rfind("refused 403", 0), 0u) << audit.dump();
    EXPECT_FALSE(Holds(a, 1, "654321") || Holds(b, 1, "654321") || Holds(c, 1, "654321"));

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// The menu editor saves a group's menu that reaches its terminal (and
// none other); a malformed price and a change made meanwhile are refused
// with the reason, the latter shown again as it is now.  A terminal that
// refuses its menu has a failed badge with the error, the others stay in
// sync.  The attendance terminal's tile shows its clock as read from it
// and its zones, and no money.
TEST(Page, MenuEditorBadgesAndAttendanceTile) {
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    // The door's clock stands three days behind (and runs on from there,
    // as the software terminal's clock does once set).
    const std::time_t behind = std::time(nullptr) - 3 * 86400;
    std::tm door{};
    localtime_r(&behind, &door);
    char aclock[64];
    std::snprintf(aclock, sizeof aclock, "%04d%02d%02d%02d%02d%02d", door.tm_year + 1900, door.tm_mon + 1, door.tm_mday,
                  door.tm_hour, door.tm_min, door.tm_sec);
    char shown[64];
    std::snprintf(shown, sizeof shown, "%04d-%02d-%02d %02d:%02d:%02d", door.tm_year + 1900, door.tm_mon + 1,
                  door.tm_mday, door.tm_hour, door.tm_min, door.tm_sec);
    a.Ok(std::string("set 3 aclock ") + aclock);
    WriteText(dir / "talvod.toml",
              ManagedConfig(dir, {LineBlock("hall", a.link(), {"1@canteen", "2@canteen", "3:attendance@door", "4"})}));
    a.Ok("add 4");
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();

    // The clock is read from the terminal and kept: the time set, or a
    // little later.
    auto doorClock = [&] {
        const json all = json::parse(HttpGet(port, "/api/terminals", kReader).body);
        for (const json& t : all["terminals"]) {
            if (t["number"] == 3 && t["clock"].is_string()) return t["clock"].get<std::string>();
        }
        return std::string();
    };
    ASSERT_TRUE(WaitFor([&] { return !doorClock().empty(); })) << HttpGet(port, "/api/terminals", kReader).body;
    EXPECT_GE(doorClock(), std::string(shown));
    EXPECT_EQ(doorClock().size(), std::string(shown).size()) << doorClock();
    // Three days behind this host's clock when it was read.
    const json terminals = json::parse(HttpGet(port, "/api/terminals", kReader).body);
    for (const json& t : terminals["terminals"]) {
        if (t["number"] == 3) {
            EXPECT_LT(t["clock_offset_seconds"].get<std::int64_t>(), -2 * 86400) << t.dump();
            EXPECT_GT(t["clock_offset_seconds"].get<std::int64_t>(), -4 * 86400) << t.dump();
        } else {
            EXPECT_TRUE(t["clock"].is_null() && t["clock_offset_seconds"].is_null()) << t.dump();
        }
    }

    Browser browser(chromium, dir);
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/")) << "no answer from chromium";
    browser.Locale("en-US");
    browser.Reload();
    ASSERT_TRUE(browser.Until("!document.getElementById('token-form').hidden"));
    browser.Type("#token", kAdmin);
    browser.Click("#token-form button");
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1'"));

    const std::string tile = browser.Text("[data-terminal='hall:3']");
    const json day = browser.Eval("new Date(" + std::to_string(door.tm_year + 1900) + ", " + std::to_string(door.tm_mon) +
                                  ", " + std::to_string(door.tm_mday) + ").toLocaleDateString()");
    ASSERT_TRUE(day.is_string());
    EXPECT_NE(tile.find("clock " + day.get<std::string>() + " "), std::string::npos) << tile;
    EXPECT_NE(tile.find(" (3 days behind) · read "), std::string::npos) << tile;
    EXPECT_NE(tile.find("zones unknown"), std::string::npos) << tile;
    EXPECT_EQ(browser.Eval("document.querySelector(\"[data-terminal='hall:3'] .today\")"), nullptr);
    EXPECT_EQ(tile.find("record"), std::string::npos) << tile;
    EXPECT_EQ(tile.find(".00"), std::string::npos) << tile;
    EXPECT_EQ(browser.Text("[data-terminal='hall:1'] .sync"), "nothing managed");
    EXPECT_EQ(browser.Text("#menu-about"), "no menu kept · for every terminal without a group menu");

    // The canteen's menu, typed in.
    browser.Choose("#menu-scope", "canteen");
    EXPECT_EQ(browser.Text("#menu-about"), "no menu kept · for hall 1, hall 2");
    browser.Click("#menu-add");
    browser.Type("#menu-prices li:nth-child(1) input", "1.50");
    browser.Click("#menu-add");
    browser.Type("#menu-prices li:nth-child(2) input", "2.75");
    browser.Click("#menu-save");
    ASSERT_TRUE(browser.Until("document.getElementById('menu-outcome').className === 'ok'")) << browser.Text("#menu-outcome");
    EXPECT_EQ(browser.Text("#menu-outcome"), "saved as version 1; on its way to the terminals");
    // 1.50 and 2.75 as the terminal keeps them (each price's digit pairs
    // low first).
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 1 menu") == "500100750200" && a.Ok("get 2 menu") == "500100750200"; }))
        << a.Ok("get 1 menu");
    EXPECT_EQ(a.Ok("get 4 menu"), "") << "not of the canteen";
    ASSERT_TRUE(browser.Until("document.querySelector(\"[data-terminal='hall:1'] .sync\").dataset.badge === 'in_sync'"))
        << browser.Text("[data-terminal='hall:1'] .sync");
    EXPECT_EQ(browser.Text("[data-terminal='hall:1'] .sync"), "in sync");
    // The change is in the table of changes as soon as it is saved.
    EXPECT_EQ(browser.Eval("document.querySelector('#audit tbody tr').cells[3].textContent + ' ' +"
                           " document.querySelector('#audit tbody tr').cells[4].textContent"),
              "set menu canteen: [150,275]");

    // A price the terminals cannot hold: the service's reason, nothing kept.
    browser.Type("#menu-prices li:nth-child(2) input", "2,75");
    browser.Click("#menu-save");
    ASSERT_TRUE(browser.Until("document.getElementById('menu-outcome').className === 'error'"));
    EXPECT_NE(browser.Text("#menu-outcome").find("menu price 2"), std::string::npos) << browser.Text("#menu-outcome");

    // Someone else saved the canteen's menu meanwhile: this edit is refused,
    // and the editor shows the menu as it is now.
    browser.Type("#menu-prices li:nth-child(2) input", "2.80");
    ASSERT_EQ(HttpSend(port, "PUT", "/api/desired/canteen/menu", json{{"version", 1}, {"value", {"3.00"}}}.dump(), kAdmin)
                  .status,
              200);
    browser.Click("#menu-save");
    ASSERT_TRUE(browser.Until("document.getElementById('menu-outcome').textContent.startsWith('changed meanwhile')"))
        << browser.Text("#menu-outcome");
    EXPECT_EQ(browser.Eval("[...document.querySelectorAll('#menu-prices input')].map(i => i.value).join(' ')"), "3.00");
    EXPECT_EQ(browser.Text("#menu-about").substr(0, 9), "version 2");
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 1 menu") == "000300"; }));

    // Terminal 4 refuses every menu: its badge fails with the reason, the
    // canteen's (holding theirs) stay in sync.
    a.Ok("fault 26 status XX times=0");
    browser.Choose("#menu-scope", "site");
    browser.Click("#menu-add");
    browser.Type("#menu-prices li:nth-child(1) input", "0.90");
    browser.Click("#menu-save");
    ASSERT_TRUE(browser.Until("document.getElementById('menu-outcome').className === 'ok'")) << browser.Text("#menu-outcome");
    ASSERT_TRUE(browser.Until("document.querySelector(\"[data-terminal='hall:4'] .sync\").dataset.badge === 'failed'"))
        << browser.Text("[data-terminal='hall:4'] .sync");
    const std::string failed = browser.Text("[data-terminal='hall:4'] .sync");
    EXPECT_EQ(failed.rfind("failed: menu (", 0), 0u) << failed;
    EXPECT_NE(browser.Eval("document.querySelector(\"[data-terminal='hall:4'] .sync\").title").get<std::string>().find(
                  "menu: failed"),
              std::string::npos);
    EXPECT_EQ(browser.Text("[data-terminal='hall:1'] .sync"), "in sync");
    EXPECT_EQ(a.Ok("get 4 menu"), "");

    // Zones kept for the door's group: on its tile.
    ASSERT_EQ(HttpSend(port, "PUT", "/api/desired/door/attend_zones",
                       json{{"version", 0}, {"value", {"07:00-09:00/01", "12:00-13:00/02"}}}.dump(), kAdmin)
                  .status,
              200);
    ASSERT_TRUE(browser.Until("document.querySelector(\"[data-terminal='hall:3'] .zones\").textContent ==="
                              " 'zones 07:00-09:00/01, 12:00-13:00/02'"))
        << browser.Text("[data-terminal='hall:3'] .zones");
    KeepScreenshot(browser, "talvod-page-manage.png");

    // The footer's links answer from the page, with its token (the address
    // alone wants the token, as the API does).
    EXPECT_EQ(HttpGet(port, "/metrics").status, 401);
    browser.Click("footer a[href='/metrics']");
    ASSERT_TRUE(browser.Until("!document.getElementById('raw').hidden")) << browser.Text("footer");
    EXPECT_EQ(browser.Text("#raw-title"), "/metrics · 200 OK");
    EXPECT_NE(browser.Text("#raw-text").find("talvod_terminal_up{"), std::string::npos) << browser.Text("#raw-text");
    browser.Click("footer a[href='/healthz']");
    ASSERT_TRUE(browser.Until("document.getElementById('raw-title').textContent.startsWith('/healthz')"));
    EXPECT_NE(browser.Text("#raw-text").find("\"database\""), std::string::npos) << browser.Text("#raw-text");

    // The system's dark scheme darkens the page; the light one is as before.
    const std::string background = "getComputedStyle(document.body).backgroundColor";
    browser.Scheme("dark");
    EXPECT_EQ(browser.Eval(background), "rgb(18, 22, 28)");
    browser.Scheme("light");
    EXPECT_EQ(browser.Eval(background), "rgb(245, 247, 250)");

    // In a language that writes a decimal comma, the editor shows prices
    // with one and takes "12,5" as 12.50.
    a.Ok("clearfaults");
    browser.Locale("de-DE");
    browser.Reload();
    ASSERT_TRUE(browser.Until("document.body.dataset.loaded === '1'"));
    browser.Choose("#menu-scope", "canteen");
    EXPECT_EQ(browser.Eval("[...document.querySelectorAll('#menu-prices input')].map(i => i.value).join(' ')"), "3,00");
    browser.Type("#menu-prices li:nth-child(1) input", "12,5");
    browser.Click("#menu-save");
    ASSERT_TRUE(browser.Until("document.getElementById('menu-outcome').className === 'ok'")) << browser.Text("#menu-outcome");
    ASSERT_TRUE(browser.Until("document.querySelector('#audit tbody tr').cells[4].textContent === 'canteen: [1250]'"))
        << browser.Eval("document.querySelector('#audit tbody tr').textContent");
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 1 menu") == "501200"; }, std::chrono::seconds(60))) << a.Ok("get 1 menu");

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

}  // namespace
}  // namespace talvo::test

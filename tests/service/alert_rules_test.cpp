// The alerts' bookkeeping, their messages and their configuration, in
// process: times are handed in, nothing waits.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "alerts/channels.h"
#include "alerts/rules.h"
#include "config.h"
#include "harness.h"

namespace talvo::test {
namespace {

using namespace std::chrono_literals;
using service::AlertBook;
using service::Condition;
using service::Notice;

service::AlertsConfig Rules() {
    service::AlertsConfig c;
    c.silentMs = 2000;
    c.repeatMs = 10'000;
    return c;
}

Condition Silent(const std::string& subject, std::optional<std::chrono::system_clock::time_point> since = {}) {
    return {"silent", subject, "terminal " + subject + " does not answer", since};
}

std::vector<std::string> Events(const std::vector<Notice>& notices) {
    std::vector<std::string> out;
    for (const Notice& n : notices) out.push_back(n.event + " " + n.alert.key);
    return out;
}

using Events_ = std::vector<std::string>;

// Once after its time, again each repeat interval, resolved once; a
// condition that clears before its time sends nothing.
TEST(AlertBook, FiresOnceRepeatsAndResolves) {
    AlertBook book(Rules());
    const auto t0 = std::chrono::system_clock::time_point{} + 1000h;
    EXPECT_TRUE(book.Update({Silent("hall/1")}, {}, t0).empty());
    EXPECT_TRUE(book.Update({Silent("hall/1")}, {}, t0 + 1999ms).empty());
    EXPECT_EQ(Events(book.Update({Silent("hall/1")}, {}, t0 + 2s)), Events_{"firing silent:hall/1"});
    EXPECT_TRUE(book.Update({Silent("hall/1")}, {}, t0 + 11s).empty());
    EXPECT_EQ(Events(book.Update({Silent("hall/1")}, {}, t0 + 12s)), Events_{"repeat silent:hall/1"});
    EXPECT_TRUE(book.Update({Silent("hall/1")}, {}, t0 + 13s).empty());
    const auto resolved = book.Update({}, {}, t0 + 14s);
    ASSERT_EQ(Events(resolved), Events_{"resolved silent:hall/1"});
    EXPECT_EQ(resolved[0].alert.sends, 2);
    EXPECT_TRUE(book.Update({}, {}, t0 + 15s).empty());
    EXPECT_TRUE(book.Active().empty());
    ASSERT_EQ(book.Recent().size(), 1u);

    // Silent for less than its time, twice: never fires (the second spell
    // counts from its own start).
    EXPECT_TRUE(book.Update({Silent("hall/2")}, {}, t0 + 20s).empty());
    EXPECT_TRUE(book.Update({}, {}, t0 + 21s).empty());
    EXPECT_TRUE(book.Update({Silent("hall/2")}, {}, t0 + 22s).empty());
    EXPECT_TRUE(book.Update({Silent("hall/2")}, {}, t0 + 23s).empty());
    // A start the data gives counts from there.
    EXPECT_EQ(Events(book.Update({Silent("hall/3", t0 + 10s)}, {}, t0 + 23s)), Events_{"firing silent:hall/3"});
}

// Data that could not be read (the database away) resolves nothing; a
// rule turned off (0) never fires; repeat 0 never repeats.
TEST(AlertBook, UnknownKeepsAndOffNeverFires) {
    auto rules = Rules();
    rules.repeatMs = 0;
    rules.syncMs = 0;
    AlertBook book(rules);
    const auto t0 = std::chrono::system_clock::time_point{} + 1000h;
    ASSERT_EQ(book.Update({Silent("hall/1", t0)}, {}, t0 + 5s).size(), 1u);
    EXPECT_TRUE(book.Update({}, {"silent"}, t0 + 6s).empty());
    EXPECT_EQ(book.Active().size(), 1u);
    EXPECT_TRUE(book.Update({Silent("hall/1", t0)}, {}, t0 + 100h).empty());
    EXPECT_TRUE(book.Update({Silent("hall/1", t0), {"sync", "hall/1/menu", "menu failed", t0}}, {}, t0 + 100h).empty());
    // Rejected records and a full disk fire at once.
    EXPECT_EQ(Events(book.Update({Silent("hall/1", t0), {"rejected", "hall/1", "3 rejected", {}}}, {}, t0 + 101h)),
              Events_{"firing rejected:hall/1"});
}

// What was firing at the last stop is not sent again, and is resolved when
// it no longer holds.
TEST(AlertBook, RestoredAlertsAreNotSentAgain) {
    AlertBook book(Rules());
    const auto t0 = std::chrono::system_clock::time_point{} + 1000h;
    service::Alert a;
    a.id = 7;
    a.key = "silent:hall/1";
    a.rule = "silent";
    a.subject = "hall/1";
    a.started = service::FormatUtc(t0);
    a.fired = a.lastSent = service::FormatUtc(t0 + 2s);
    a.sends = 1;
    book.Restore({a}, {});
    EXPECT_TRUE(book.Update({Silent("hall/1", t0)}, {}, t0 + 5s).empty());
    EXPECT_TRUE(book.Dirty().empty());
    const auto out = book.Update({}, {}, t0 + 6s);
    ASSERT_EQ(Events(out), Events_{"resolved silent:hall/1"});
    EXPECT_EQ(out[0].alert.id, 7);
    ASSERT_EQ(book.Dirty().size(), 1u);
}

TEST(AlertTimes, RoundTripAndRefusals) {
    const auto t = service::ParseUtc("2024-02-29T23:59:58.250Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(service::FormatUtc(*t), "2024-02-29T23:59:58.250Z");
    EXPECT_TRUE(service::ParseUtc("2024-02-29T23:59:58Z"));
    EXPECT_FALSE(service::ParseUtc(""));
    EXPECT_FALSE(service::ParseUtc("2023-02-29T10:00:00Z"));
    EXPECT_FALSE(service::ParseUtc("yesterday"));
}

// RFC 4231's second test case.
TEST(AlertMessages, SignatureIsHmacSha256) {
    EXPECT_EQ(service::Signature("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

// A terminal's name comes from the configuration: a line end in it starts
// no header of its own, and text beyond ASCII is an encoded word.
TEST(AlertMessages, MailHeadersStayHeaders) {
    service::AlertsConfig c;
    c.mailFrom = "talvod@site.example";
    c.mailTo = {"a@site.example", "b@site.example"};
    Notice n;
    n.event = "firing";
    n.alert.key = "silent:hall/1";
    n.alert.message = "terminal 'Kasse\r\nBcc: x@evil.example' does not answer";
    const auto now = service::ParseUtc("2024-03-01T08:00:00Z").value();
    std::string m = service::MailText(n, c, "till-pc", now);
    const std::string headers = m.substr(0, m.find("\r\n\r\n"));
    EXPECT_EQ(headers.find("\r\nBcc:"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Date: Fri, 01 Mar 2024 08:00:00 +0000"), std::string::npos) << headers;
    EXPECT_NE(headers.find("To: a@site.example, b@site.example"), std::string::npos) << headers;
    // Every line ends in CRLF.
    for (std::size_t at = m.find('\n'); at != std::string::npos; at = m.find('\n', at + 1)) {
        ASSERT_EQ(m[at - 1], '\r') << at;
    }
    n.alert.message = "Kasse Müller schweigt";
    m = service::MailText(n, c, "till-pc", now);
    EXPECT_NE(m.find("Subject: =?UTF-8?B?"), std::string::npos) << m;
    const auto body = nlohmann::json::parse(service::WebhookBody(n, "till-pc"));
    EXPECT_EQ(body["message"], "Kasse Müller schweigt");
    EXPECT_TRUE(body["resolved"].is_null());
}

class AlertsConfigFile : public ::testing::Test {
protected:
    std::string Errors(const std::string& alerts) {
        WriteText(dir / "talvod.toml", alerts + "\n[[line]]\nname = \"hall\"\ndevice = \"/dev/ttyS0\"\n"
                                                "[[line.terminal]]\nnumber = 1\n");
        std::vector<std::string> errors;
        service::LoadConfig(dir / "talvod.toml", config, errors);
        std::string all;
        for (const std::string& e : errors) all += e + "\n";
        return all;
    }
    TempDir dir;
    service::Config config;
};

TEST_F(AlertsConfigFile, DefaultsRulesAndChannels) {
    ASSERT_EQ(Errors(""), "");
    EXPECT_EQ(config.alerts.silentMs, 600'000);
    EXPECT_TRUE(config.alerts.webhookUrl.empty());
    WriteText(dir / "hook-secret", "s3cret\n");
    ASSERT_EQ(Errors("[alerts]\nsilent_after = \"2s\"\nsync_after = \"0s\"\nrepeat = 600\n"
                     "webhook_url = \"https://monitor.example/hook\"\nwebhook_secret_file = \"hook-secret\"\n"
                     "mail_server = \"smtp://mail.example:587\"\nmail_from = \"talvod@site.example\"\n"
                     "mail_to = \"boss@site.example\"\nmail_user = \"talvod\"\nmail_password = \"pw\"\n"),
              "");
    EXPECT_EQ(config.alerts.silentMs, 2000);
    EXPECT_EQ(config.alerts.syncMs, 0);
    EXPECT_EQ(config.alerts.repeatMs, 600'000);
    EXPECT_EQ(config.alerts.webhookSecret, "s3cret");
    EXPECT_EQ(config.alerts.mailTo, std::vector<std::string>{"boss@site.example"});
}

TEST_F(AlertsConfigFile, Refusals) {
    EXPECT_NE(Errors("[alerts]\nsilent_after = \"5\"\n").find("alerts.silent_after = \"5\" has no unit"),
              std::string::npos);
    EXPECT_NE(Errors("[alerts]\nwebhook_url = \"ftp://x\"\n").find("must start with http://"), std::string::npos);
    EXPECT_NE(Errors("[alerts]\nwebhook_secret = \"x\"\n").find("no webhook_url"), std::string::npos);
    EXPECT_NE(Errors("[alerts]\nmail_server = \"smtp://m\"\nmail_from = \"a@b\"\n").find("needs mail_from and mail_to"),
              std::string::npos);
    EXPECT_NE(Errors("[alerts]\nmail_server = \"smtp://m\"\nmail_from = \"a@b\"\nmail_to = [\"x@y>\\r\\nRCPT\"]\n")
                  .find("mail_to must be an address"),
              std::string::npos);
    EXPECT_NE(Errors("[alerts]\nmail_server = \"smtp://m\"\nmail_from = \"a@b\\nX: y\"\nmail_to = \"x@y\"\n")
                  .find("must not hold control characters"),
              std::string::npos);
    EXPECT_NE(Errors("[alerts]\ndisk_free_below = 100\n").find("disk_free_below in [alerts] must be"),
              std::string::npos);
    EXPECT_NE(Errors("[alerts]\nsilence = \"2s\"\n").find("unknown key 'silence' in [alerts]"), std::string::npos);
}

}  // namespace
}  // namespace talvo::test

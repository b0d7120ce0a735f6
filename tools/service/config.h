// talvod's configuration: one TOML file for a whole site.
//
//   database = "talvod.db"            # beside this file; or "postgresql://..."
//   database_password_file = "/etc/talvod/db-password"  # PostgreSQL's password
//   host = "till-pc-1"                # this service's name (default: host name)
//   [http]
//   listen = "127.0.0.1"              # beyond the loopback a token is required
//   port = 8080
//   token = "..."                     # at least 16 characters; or
//   token_file = "token"              # the token in a file of its own
//   currency = "EUR"                  # ISO 4217 code the page shows amounts in
//   health_without_token = false      # /healthz open to a load balancer
//   [jobs]
//   collect = "60s"                   # 500ms, 30s, 5m, 2h, 1d, or 60 (seconds)
//   status = "30s"
//   clock = "1d"
//   clock_at_start = true
//   backoff_min = "5s"                # a silent terminal is tried again after
//   backoff_max = "10m"               # min, doubling up to max
//   [manage]
//   foreign_cards = "adopt"           # cards found on a terminal: blocked
//                                     # ("remove": taken off the terminal)
//   [alerts]                          # see AlertsConfig
//   silent_after = "10m"
//   webhook_url = "https://monitor.example/hook"
//   mail_server = "smtp://mail.example:587"
//   [[line]]
//   name = "hall"
//   device = "/dev/ttyUSB0"
//   baud = 4800
//   format = "parity=N data=8 stop=1"
//   echo_time_ms = 150
//   wait_time_ms = 1000
//   tries = 3
//   filler_bytes = 2
//   [[line.terminal]]
//   number = 1
//   kind = "payment"                  # or "attendance"
//   name = "Till 1"
//   group = "canteen"                 # terminals that share a desired state
//   [[http.user]]                     # more tokens, each with a name and a role
//   name = "cashier-office"
//   role = "read"                     # "read" sees everything, "admin" changes too
//   token_file = "office-token"       # or token = "..."
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvo::service {

struct TerminalConfig {
    int number = 0;
    std::string kind = "payment";
    std::string name;
    std::string group;  // "" for none
    bool operator==(const TerminalConfig&) const = default;
};

struct LineConfig {
    std::string name;
    std::string device;
    std::uint32_t baud = 4800;
    std::string format = "parity=N data=8 stop=1";
    std::uint32_t echoTimeMs = 150;
    std::uint32_t waitTimeMs = 1000;
    std::uint32_t tries = 3;
    std::uint32_t fillerBytes = 2;
    std::vector<TerminalConfig> terminals;
    bool operator==(const LineConfig&) const = default;
};

struct JobsConfig {
    std::int64_t collectMs = 60'000;
    std::int64_t statusMs = 30'000;
    std::int64_t clockMs = 86'400'000;
    bool clockAtStart = true;
    std::int64_t backoffMinMs = 5'000;
    std::int64_t backoffMaxMs = 600'000;
    // How often each terminal's managed items are read back.
    std::int64_t verifyMs = 3'600'000;
    // [manage] foreign_cards: a card a terminal holds that the service does
    // not block is adopted (blocked in the terminal's scope), unless this
    // is false ("remove": taken off the terminal).
    bool adoptForeignCards = true;
    bool operator==(const JobsConfig&) const = default;
};

// Who may use the interface: the [http] token is the administrator's
// (named "admin"); [[http.user]] adds named tokens.
struct HttpUser {
    std::string name;
    std::string role;  // "admin" or "read"
    std::string token;
    bool operator==(const HttpUser&) const = default;
};

struct HttpConfig {
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string token;
    std::string tokenFile;  // where the token was read from, when not in the file
    std::string currency;  // ISO 4217 code, "" for plain amounts
    bool healthWithoutToken = false;
    std::vector<HttpUser> users;  // the [http] token first, as "admin"
    bool operator==(const HttpConfig&) const = default;
};

// [reports]: the day's report written to a folder at a time of day.
struct ReportsConfig {
    std::string folder;   // absolute; "" writes none
    int atMinute = -1;    // minutes after local midnight; -1 writes none
    bool yesterday = false;  // the day before the one it is written on
    bool csv = true, html = true;
};

// [alerts]: when something is wrong long enough, who is told.  A rule's
// duration of 0 turns it off.
struct AlertsConfig {
    std::int64_t checkMs = 15'000;          // how often the rules are evaluated
    std::int64_t repeatMs = 3'600'000;      // a firing alert is sent again after (0: never)
    std::int64_t silentMs = 600'000;        // a terminal that does not answer
    std::int64_t lineMs = 120'000;          // a line (device, device server) unreachable
    std::int64_t syncMs = 1'800'000;        // a desired-state item failed or pending
    std::int64_t databaseMs = 60'000;       // the database's commits failing
    std::int64_t rejectedWithinMs = 3'600'000;  // rejected records stored within this time
    int diskFreeBelow = 10;                 // per cent free on the SQLite file's disk (0: off)
    // The webhook: a JSON POST signed with HMAC-SHA256 of `webhookSecret`.
    std::string webhookUrl, webhookSecret, webhookSecretFile;
    std::int64_t webhookTimeoutMs = 10'000;
    // E-mail: an smtp:// (STARTTLS when offered) or smtps:// server.
    std::string mailServer, mailFrom, mailUser, mailPassword, mailPasswordFile;
    std::vector<std::string> mailTo;
    bool mailRequireTls = false;  // refuse a server that does not offer STARTTLS
    bool operator==(const AlertsConfig&) const = default;
};

struct Config {
    std::string path;      // the file it was read from
    std::string database;  // a SQLite path (absolute) or a PostgreSQL target (with the password)
    std::string databasePasswordFile;
    std::string host;
    HttpConfig http;
    JobsConfig jobs;
    AlertsConfig alerts;
    ReportsConfig reports;
    std::vector<LineConfig> lines;
};

// Secrets may live in files of their own, which the service alone may read
// (token_file, database_password_file): a path relative to the
// configuration's folder, an absolute one, or "$CREDENTIALS_DIRECTORY/NAME"
// for a credential systemd hands the service (LoadCredential=NAME:PATH).
// Each holds one line; a final line end is dropped.
//
// Reads and checks the file.  On false, `errors` holds one message per
// fault, "FILE:LINE: what is wrong".
bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors);

// "500ms", "30s", "5m", "2h", "1d" in milliseconds; false for anything
// else, a number without its unit too (a TOML integer is seconds, read
// where the configuration is read).
bool ParseDuration(const std::string& text, std::int64_t& ms);

// True for an address on the loopback (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& address);

}  // namespace talvo::service

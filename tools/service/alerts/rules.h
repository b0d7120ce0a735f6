// What is wrong on the site, as alerts: the conditions the rules find at
// one evaluation, and the book that turns them into messages.  An alert
// fires once its condition has held for the rule's time, is sent again
// every repeat interval while it holds, and is sent as resolved when it no
// longer holds.  Plain bookkeeping on times handed in, so that it is
// checked without waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace talvo::service {

// One thing found wrong at an evaluation.
struct Condition {
    std::string rule;     // "silent", "line", "sync", "database", "disk", "rejected"
    std::string subject;  // "hall/1", "hall", "hall/1/menu", "" for the site
    std::string message;  // for a person
    // When it started, when known from the data (UTC, ISO 8601); otherwise
    // when the book first saw it.
    std::optional<std::chrono::system_clock::time_point> since;
    std::string Key() const { return subject.empty() ? rule : rule + ":" + subject; }
};

struct Alert {
    std::int64_t id = 0;  // its row in the database, 0 before it is written
    std::string key, rule, subject, message;
    std::string started;   // UTC, ISO 8601: when the condition began
    std::string fired;     // when it was first sent
    std::string lastSent;
    std::string resolved;  // "" while it holds
    int sends = 0;
    bool dirty = true;  // not yet written to the database as it is now
};

// A message for the channels.
struct Notice {
    std::string event;  // "firing", "repeat" or "resolved"
    Alert alert;
};

class AlertBook {
public:
    using Time = std::chrono::system_clock::time_point;
    static constexpr std::size_t kRecent = 100;

    explicit AlertBook(AlertsConfig config) : config_(std::move(config)) {}
    void Reconfigure(const AlertsConfig& config) { config_ = config; }

    // Alerts that were firing when the service last stopped: they are not
    // sent again as new ones (and are resolved at the next update when
    // they no longer hold).
    void Restore(const std::vector<Alert>& active, const std::vector<Alert>& recent);

    // One evaluation at `now`: `found` is everything wrong now, except the
    // rules in `unknown` (their data could not be read): what they had
    // firing stays as it was.  Returns the messages to send.
    std::vector<Notice> Update(const std::vector<Condition>& found, const std::vector<std::string>& unknown, Time now);

    // Firing alerts, and the recent ones resolved (newest first).
    std::vector<Alert> Active() const;
    std::vector<Alert> Recent() const;
    // Those changed since they were last written; `Written` marks them.
    std::vector<Alert*> Dirty();

    // The rule's time before it fires (0: the rule is off).
    std::int64_t AfterMs(const std::string& rule) const;

private:
    AlertsConfig config_;
    // Conditions seen but not yet held long enough, by key: first seen.
    std::map<std::string, Time> pending_;
    std::map<std::string, Alert> firing_;
    std::deque<Alert> recent_;
};

// "2024-05-01T10:00:00.123Z" and back; nullopt for a text that is not one.
std::optional<std::chrono::system_clock::time_point> ParseUtc(const std::string& text);
std::string FormatUtc(std::chrono::system_clock::time_point t);

}  // namespace talvo::service

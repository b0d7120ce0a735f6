#include "alerts/rules.h"

#include <algorithm>
#include <cstdio>

namespace talvo::service {

std::optional<std::chrono::system_clock::time_point> ParseUtc(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    char tail = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms, &tail);
    if (n < 6) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(mo)},
                                           std::chrono::day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 60) return std::nullopt;
    return std::chrono::sys_days{date} + std::chrono::hours{h} + std::chrono::minutes{mi} + std::chrono::seconds{s} +
           std::chrono::milliseconds{n >= 7 ? ms : 0};
}

std::string FormatUtc(std::chrono::system_clock::time_point t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss<std::chrono::milliseconds> time{
        std::chrono::duration_cast<std::chrono::milliseconds>(t - day)};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::int64_t AlertBook::AfterMs(const std::string& rule) const {
    if (rule == "silent") return config_.silentMs;
    if (rule == "line") return config_.lineMs;
    if (rule == "sync") return config_.syncMs;
    if (rule == "database") return config_.databaseMs;
    if (rule == "rejected") return config_.rejectedWithinMs;
    if (rule == "disk") return config_.diskFreeBelow > 0 ? 1 : 0;
    return 0;
}

void AlertBook::Restore(const std::vector<Alert>& active, const std::vector<Alert>& recent) {
    // What fired before the database could be read (it was away at the
    // start) stays as it is.
    for (Alert a : active) {
        a.dirty = false;
        firing_.emplace(a.key, a);
    }
    for (Alert a : recent) {
        a.dirty = false;
        if (recent_.size() < kRecent) recent_.push_back(a);
    }
}

std::vector<Notice> AlertBook::Update(const std::vector<Condition>& found, const std::vector<std::string>& unknown,
                                      Time now) {
    std::vector<Notice> out;
    const std::string stamp = FormatUtc(now);
    std::map<std::string, const Condition*> holding;
    for (const Condition& c : found) {
        // Rejected records fire at once; their rule's time is the window
        // they are looked for in.
        if (AfterMs(c.rule) > 0) holding[c.Key()] = &c;
    }
    const auto isUnknown = [&](const std::string& rule) {
        return std::find(unknown.begin(), unknown.end(), rule) != unknown.end();
    };

    for (auto it = firing_.begin(); it != firing_.end();) {
        Alert& a = it->second;
        if (holding.count(a.key) != 0 || isUnknown(a.rule)) {
            if (holding.count(a.key) != 0) a.message = holding[a.key]->message;
            ++it;
            continue;
        }
        a.resolved = stamp;
        a.dirty = true;
        out.push_back({"resolved", a});
        recent_.push_front(a);
        while (recent_.size() > kRecent) recent_.pop_back();
        it = firing_.erase(it);
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        it = holding.count(it->first) != 0 ? std::next(it) : pending_.erase(it);
    }

    for (const auto& [key, c] : holding) {
        auto f = firing_.find(key);
        if (f != firing_.end()) {
            Alert& a = f->second;
            const auto last = ParseUtc(a.lastSent);
            if (config_.repeatMs > 0 && (!last || now - *last >= std::chrono::milliseconds(config_.repeatMs))) {
                a.lastSent = stamp;
                ++a.sends;
                a.dirty = true;
                out.push_back({"repeat", a});
            }
            continue;
        }
        const Time first = c->since ? std::min(*c->since, now) : pending_.emplace(key, now).first->second;
        const std::int64_t after = c->rule == "rejected" || c->rule == "disk" ? 0 : AfterMs(c->rule);
        if (now - first < std::chrono::milliseconds(after)) continue;
        pending_.erase(key);
        Alert a;
        a.key = key;
        a.rule = c->rule;
        a.subject = c->subject;
        a.message = c->message;
        a.started = FormatUtc(first);
        a.fired = a.lastSent = stamp;
        a.sends = 1;
        firing_[key] = a;
        out.push_back({"firing", a});
    }
    return out;
}

std::vector<Alert> AlertBook::Active() const {
    std::vector<Alert> out;
    for (const auto& [key, a] : firing_) out.push_back(a);
    std::sort(out.begin(), out.end(), [](const Alert& x, const Alert& y) { return x.fired > y.fired; });
    return out;
}

std::vector<Alert> AlertBook::Recent() const { return {recent_.begin(), recent_.end()}; }

std::vector<Alert*> AlertBook::Dirty() {
    std::vector<Alert*> out;
    for (auto& [key, a] : firing_) {
        if (a.dirty) out.push_back(&a);
    }
    for (Alert& a : recent_) {
        if (a.dirty) out.push_back(&a);
    }
    return out;
}

}  // namespace talvo::service

// The desired state's job: brings each terminal of the line to what the
// site wants (desired.h) with the fewest exchanges, reads back what it can
// read, and records per terminal and item what it found.
//
// What a terminal is known to hold is kept with its row (`applied`): a push
// that the terminal accepted makes it the wanted value; a read-back
// replaces it with what the terminal says.  A push that went unanswered
// leaves it unknown (""), so the next push writes the whole item.
#include <algorithm>
#include <chrono>
#include <set>

#include <nlohmann/json.hpp>

#include "jobs.h"
#include "log.h"

namespace talvo::service {
namespace {

using nlohmann::json;
using Clock = Scheduler::Clock;

constexpr std::size_t kPerRequest = 255;  // entries one request carries
constexpr std::size_t kPerRead = 32;      // blacklist cards one read returns

// One exchange's result, counted for the terminal and the metrics.
int Count(LineContext& line, TerminalRun& t, int rc) {
    line.metrics().Exchange(line.Name(), "sync", rc);
    line.Outcome(t, rc);
    return rc;
}

std::vector<std::string> Cards(const std::string& canonical) {
    if (canonical.empty()) return {};
    return json::parse(canonical).get<std::vector<std::string>>();
}

// The whole blacklist as the terminal holds it, sorted.
int ReadBlacklist(LineContext& line, TerminalRun& t, std::string& out) {
    std::vector<std::string> cards;
    char buffer[kPerRead * 6];
    for (std::size_t position = 0; position < kBlacklistCapacity; position += kPerRead) {
        std::size_t n = 0;
        const int rc = Count(line, t, talvo_blacklist_read(line.OpenLine(), t.config.number,
                                                           static_cast<unsigned>(position), buffer, kPerRead, &n));
        if (rc != TALVO_OK) return rc;
        for (std::size_t i = 0; i < n; ++i) cards.emplace_back(buffer + 6 * i, 6);
        if (n < kPerRead) break;
    }
    std::sort(cards.begin(), cards.end());
    cards.erase(std::unique(cards.begin(), cards.end()), cards.end());
    out = json(cards).dump();
    return TALVO_OK;
}

int PushBlacklist(LineContext& line, TerminalRun& t, const std::string& want, const std::string& known, bool& whole) {
    talvo_line* h = line.OpenLine();
    const int n = t.config.number;
    const std::vector<std::string> target = Cards(want);
    std::vector<std::string> adds, removes;
    if (!known.empty()) {
        const std::vector<std::string> have = Cards(known);
        std::set_difference(target.begin(), target.end(), have.begin(), have.end(), std::back_inserter(adds));
        std::set_difference(have.begin(), have.end(), target.begin(), target.end(), std::back_inserter(removes));
    }
    auto requests = [](std::size_t cards) { return (cards + kPerRequest - 1) / kPerRequest; };
    // A lost card is one add; a list that changed wholesale is cheaper
    // written again from the start.
    whole = known.empty() || 1 + requests(target.size()) < requests(adds.size()) + removes.size();
    if (whole) {
        int rc = Count(line, t, talvo_blacklist_clear(h, n));
        for (std::size_t at = 0; rc == TALVO_OK && at < target.size(); at += kPerRequest) {
            std::string chunk;
            const std::size_t count = std::min(kPerRequest, target.size() - at);
            for (std::size_t i = 0; i < count; ++i) chunk += target[at + i];
            rc = Count(line, t, talvo_blacklist_set(h, n, static_cast<unsigned>(at), chunk.c_str(), count));
        }
        return rc;
    }
    for (const std::string& card : removes) {
        const int rc = Count(line, t, talvo_blacklist_remove(h, n, card.c_str()));
        if (rc != TALVO_OK) return rc;
    }
    for (std::size_t at = 0; at < adds.size(); at += kPerRequest) {
        std::string chunk;
        const std::size_t count = std::min(kPerRequest, adds.size() - at);
        for (std::size_t i = 0; i < count; ++i) chunk += adds[at + i];
        const int rc = Count(line, t, talvo_blacklist_add(h, n, chunk.c_str(), count));
        if (rc != TALVO_OK) return rc;
    }
    return TALVO_OK;
}

talvo_time_of_day TimeOf(const std::string& hhmm) {
    return {std::stoi(hhmm.substr(0, 2)), std::stoi(hhmm.substr(3, 2))};
}

std::string Hhmm(const talvo_time_of_day& t) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(t.hour), static_cast<int>(t.minute));
    return text;
}

// Writes an item other than the blacklist.
int Push(LineContext& line, TerminalRun& t, const std::string& item, const std::string& want) {
    talvo_line* h = line.OpenLine();
    const int n = t.config.number;
    const json v = json::parse(want);
    if (item == "menu") {
        const auto cents = v.get<std::vector<std::int32_t>>();
        return Count(line, t, cents.empty() ? talvo_menu_clear(h, n) : talvo_menu_set(h, n, cents.data(), cents.size()));
    }
    if (item == "subsidy") {
        int rc = Count(line, t, talvo_subsidy_clear(h, n));
        const auto entries = v["entries"].get<std::vector<std::string>>();
        if (rc == TALVO_OK && !entries.empty()) {
            std::string all;
            for (const std::string& e : entries) all += e;
            rc = Count(line, t, talvo_subsidy_add(h, n, 0, all.c_str(), entries.size()));
        }
        if (rc == TALVO_OK) rc = Count(line, t, talvo_subsidy_set_max(h, n, v["max_cents"].get<std::int32_t>()));
        const std::string time = v["time"].get<std::string>();
        if (rc == TALVO_OK && !time.empty()) rc = Count(line, t, talvo_subsidy_set_time(h, n, time.c_str()));
        return rc;
    }
    if (item == "zones") {
        talvo_time_of_day zones[TALVO_ZONES];
        for (std::size_t i = 0; i < TALVO_ZONES; ++i) zones[i] = TimeOf(v[i].get<std::string>());
        return Count(line, t, talvo_zones_set(h, n, zones, TALVO_ZONES));
    }
    if (item == "attend_zones") {
        talvo_attend_zone zones[TALVO_ZONES] = {};
        for (std::size_t i = 0; i < TALVO_ZONES; ++i) {
            const std::string z = v[i].get<std::string>();  // HH:MM-HH:MM/CC
            zones[i].start = TimeOf(z.substr(0, 5));
            zones[i].end = TimeOf(z.substr(6, 5));
            std::snprintf(zones[i].code, sizeof zones[i].code, "%s", z.substr(12, 2).c_str());
        }
        return Count(line, t, talvo_attend_zones_set(h, n, zones, TALVO_ZONES));
    }
    if (item == "reasons") {
        for (auto it = v.begin(); it != v.end(); ++it) {
            const int rc = Count(line, t, talvo_attend_reason_set(h, n, std::stoi(it.key()),
                                                                  it->get<std::string>().c_str()));
            if (rc != TALVO_OK) return rc;
        }
        return TALVO_OK;
    }
    if (item == "cmw") return Count(line, t, talvo_cmw_set(h, n, v.get<std::string>().c_str()));
    if (item == "mdeb") return Count(line, t, talvo_mdeb_set(h, n, v.get<std::int32_t>()));
    if (item == "lock") return Count(line, t, v.get<bool>() ? talvo_lock(h, n) : talvo_unlock(h, n));
    if (item == "card_key") return Count(line, t, talvo_key_set(h, n, v.get<std::string>().c_str()));
    return TALVO_E_INVALID;
}

// Reads back what the terminal holds of a readable item, in the item's
// canonical form (the wanted value says which reasons are kept).
int Read(LineContext& line, TerminalRun& t, const std::string& item, const std::string& want, std::string& out) {
    talvo_line* h = line.OpenLine();
    const int n = t.config.number;
    if (item == "blacklist") return ReadBlacklist(line, t, out);
    if (item == "menu") {
        std::int32_t cents[256];
        std::size_t count = 0;
        const int rc = Count(line, t, talvo_menu_read(h, n, cents, 256, &count));
        if (rc == TALVO_OK) out = json(std::vector<std::int32_t>(cents, cents + count)).dump();
        return rc;
    }
    if (item == "zones") {
        talvo_time_of_day zones[TALVO_ZONES];
        const int rc = Count(line, t, talvo_zones_read(h, n, zones, TALVO_ZONES));
        if (rc != TALVO_OK) return rc;
        json a = json::array();
        for (const auto& z : zones) a.push_back(Hhmm(z));
        out = a.dump();
        return rc;
    }
    if (item == "attend_zones") {
        talvo_attend_zone zones[TALVO_ZONES] = {};
        const int rc = Count(line, t, talvo_attend_zones_read(h, n, zones, TALVO_ZONES));
        if (rc != TALVO_OK) return rc;
        json a = json::array();
        for (const auto& z : zones) a.push_back(Hhmm(z.start) + "-" + Hhmm(z.end) + "/" + std::string(z.code, 2));
        out = a.dump();
        return rc;
    }
    if (item == "reasons") {
        json o = json::object();
        const json kept = json::parse(want);
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            char text[16] = {};
            const int rc = Count(line, t, talvo_attend_reason_read(h, n, std::stoi(it.key()), text, sizeof text));
            if (rc != TALVO_OK) return rc;
            o[it.key()] = std::string(text);
        }
        out = o.dump();
        return TALVO_OK;
    }
    if (item == "cmw") {
        char text[16] = {};
        const int rc = Count(line, t, talvo_cmw_read(h, n, text, sizeof text));
        if (rc == TALVO_OK) out = json(std::string(text)).dump();
        return rc;
    }
    if (item == "mdeb") {
        std::int32_t cents = 0;
        const int rc = Count(line, t, talvo_mdeb_read(h, n, &cents));
        if (rc == TALVO_OK) out = json(cents).dump();
        return rc;
    }
    return TALVO_E_INVALID;
}

// Brings one item of one terminal to `want`.  False when the terminal did
// not answer (the item waits for it to answer again).
// A blacklist read back holding cards the service does not block: they
// are adopted (desired.h), and `want` takes them in for this turn, so that
// nothing found on a terminal is removed for not being known.  With
// [manage] foreign_cards = "remove" they go.
void AdoptFound(LineContext& line, TerminalRun& t, std::string& want, const std::string& found) {
    if (!line.Jobs().adoptForeignCards || found.empty()) return;
    std::set<std::string> all;
    for (const std::string& c : Cards(want)) all.insert(c);
    const std::size_t before = all.size();
    for (const std::string& c : Cards(found)) all.insert(c);
    if (all.size() == before) return;
    try {
        const auto adopted = AdoptFoundCards(*line.Database(), line.Name(), t.config.number, t.config.group, want, found);
        if (!adopted.empty()) {
            Log(Level::kWarning, "cards-adopted", {{"line", line.Name()}, {"terminal", std::to_string(t.config.number)},
                                                   {"cards", std::to_string(adopted.size())}});
        }
    } catch (const DbError& e) {
        // Kept on the terminal all the same; the next read-back adopts them.
        Log(Level::kWarning, "cards-not-adopted", {{"line", line.Name()}, {"error", e.what()}});
    }
    want = json(std::vector<std::string>(all.begin(), all.end())).dump();
}

bool SyncItem(LineContext& line, TerminalRun& t, const std::string& item, const std::string& wanted, bool verify) {
    std::string want = wanted;
    TerminalRun::Item& it = t.items[item];
    SyncRow& row = it.row;
    const ItemInfo* info = FindItem(item);
    const auto now = Clock::now();
    const bool held = row.applied == want && row.state == "in_sync";
    if (held && !verify) return true;
    if (row.state == "failed" && now < it.retryAt && !verify) return true;

    row.line = line.Name();
    row.terminal = t.config.number;
    row.item = item;
    it.dirty = true;
    int rc = TALVO_OK;
    auto readBack = [&] {
        std::string found;
        rc = Read(line, t, item, want, found);
        if (rc != TALVO_OK) return;
        if (item == "blacklist") AdoptFound(line, t, want, found);
        row.applied = found;
        if (found == want) row.verified = row.lastMatch = UtcNow();
    };
    // What it holds, asked first where that is due: a terminal reset or
    // replaced meanwhile is rewritten from what it really holds.
    // A blacklist not known yet (a terminal newly managed, or a push that
    // went unanswered) is read first: what it holds is adopted, never
    // cleared away.
    if ((held || (item == "blacklist" && row.applied.empty())) && info->readable) readBack();
    if (rc == TALVO_OK && (row.applied != want || (!held && row.state != "in_sync"))) {
        bool whole = false;
        rc = item == "blacklist" ? PushBlacklist(line, t, want, row.applied, whole) : Push(line, t, item, want);
        if (rc == TALVO_OK) {
            row.applied = want;
            row.lastMatch = UtcNow();
            // Small items are read back after every push; the blacklist
            // after a whole rewrite (an add or a remove is confirmed by its
            // own answer).
            if (info->readable && (item != "blacklist" || whole)) readBack();
        } else {
            // What part of it arrived is not known.
            row.applied.clear();
        }
    }
    if (rc == TALVO_OK && row.applied == want) {
        row.state = "in_sync";
        row.error.clear();
        row.failures = 0;
        return true;
    }
    if (rc == TALVO_OK) {
        // Accepted, but it holds something else: pushed again after a
        // back-off, never in a loop.
        row.state = "failed";
        row.error = "the terminal holds other contents than were pushed";
    } else if (Answered(rc)) {
        row.state = "failed";
        row.error = talvo_strerror(rc);
    } else {
        row.state = "pending";
        row.error = talvo_strerror(rc);
        return false;
    }
    ++row.failures;
    it.retryAt = now + line.scheduler().Backoff(row.failures);
    Log(Level::kWarning, "sync-failed", {{"line", line.Name()}, {"terminal", std::to_string(t.config.number)},
                                         {"item", item}, {"error", row.error}});
    return true;
}

// Loads the desired state when it changed, and this line's rows once.
bool Refresh(LineContext& line, Connection& db) {
    const std::int64_t generation = DesiredGeneration(db);
    if (!line.WantedLoaded() || generation != line.Wanted().generation) {
        line.Wanted() = LoadDesired(db);
        line.WantedLoaded() = true;
    }
    if (!line.SyncRowsLoaded()) {
        for (SyncRow& r : ListSync(db, line.Name())) {
            TerminalRun* t = line.Terminal(r.terminal);
            if (t == nullptr) continue;
            // A secret item's row keeps a digest: the value it stands for.
            if (r.applied.rfind("sha256:", 0) == 0) {
                const auto want = line.Wanted().For(t->config.kind, t->config.group);
                const auto it = want.find(r.item);
                r.applied = it != want.end() && SecretDigest(it->second) == r.applied ? it->second : "";
            }
            t->items[r.item].row = std::move(r);
        }
        line.SyncRowsLoaded() = true;
    }
    return true;
}

bool Save(LineContext& line, Connection& db, TerminalRun& t) {
    try {
        for (auto& [name, it] : t.items) {
            if (!it.dirty) continue;
            SaveSync(db, it.row);
            it.dirty = false;
        }
        line.Wrote();
        return true;
    } catch (const DbError& e) {
        line.DatabaseFailed(e);
        return false;
    }
}

}  // namespace

bool SyncTerminal(LineContext& line, TerminalRun& t, bool blacklistOnly) {
    Connection* db = line.Database();
    if (db == nullptr) return false;
    const auto want = line.Wanted().For(t.config.kind, t.config.group);
    // Items no longer kept: their rows go.
    for (auto it = t.items.begin(); it != t.items.end();) {
        if (want.count(it->first) != 0) {
            ++it;
            continue;
        }
        try {
            ForgetSync(*db, line.Name(), t.config.number, it->first);
        } catch (const DbError& e) {
            line.DatabaseFailed(e);
            return false;
        }
        it = t.items.erase(it);
    }
    const auto now = Clock::now();
    const bool verify = !blacklistOnly && (t.verifyAll || now >= t.verifyAt);
    bool answered = true;
    // The blacklist first: a lost card goes before everything else.
    std::vector<std::string> order;
    if (want.count("blacklist") != 0) order.push_back("blacklist");
    if (!blacklistOnly) {
        for (const auto& [item, value] : want) {
            if (item != "blacklist") order.push_back(item);
        }
    }
    for (const std::string& item : order) {
        if (line.Stopping()) break;
        bool ok = true;
        try {
            ok = SyncItem(line, t, item, want.at(item), verify);
        } catch (const nlohmann::json::exception& e) {
            // A value in the database this program cannot read (written by
            // hand, or by a newer version): the item fails, the rest goes on.
            TerminalRun::Item& it = t.items[item];
            it.row = SyncRow{line.Name(), t.config.number, item, "failed", "", std::string("unreadable value: ") + e.what(), 0, "", "", ""};
            it.dirty = true;
            it.retryAt = now + std::chrono::milliseconds(line.Jobs().verifyMs);
        }
        if (!ok) {
            answered = false;
            break;
        }
    }
    if (verify && answered && !line.Stopping()) {
        t.verifyAll = false;
        t.verifyAt = now + std::chrono::milliseconds(line.Jobs().verifyMs);
    }
    // Items not reached because the terminal went silent are pending.
    if (!answered) {
        for (const std::string& item : order) {
            TerminalRun::Item& it = t.items[item];
            if (it.row.applied != want.at(item) && it.row.state != "pending") {
                it.row.line = line.Name();
                it.row.terminal = t.config.number;
                it.row.item = item;
                it.row.state = "pending";
                it.dirty = true;
            }
        }
    }
    return Save(line, *db, t);
}

bool SyncJob(LineContext& line, bool blacklistOnly) {
    Connection* db = line.Database();
    if (db == nullptr) return false;
    try {
        Refresh(line, *db);
    } catch (const DbError& e) {
        line.DatabaseFailed(e);
        return false;
    }
    const auto now = Clock::now();
    std::vector<TerminalRun*> targets;
    for (TerminalRun& t : line.Terminals()) {
        // A silent terminal catches up when it answers again (RetryJob).
        if (line.scheduler().InBackoff(t.config.number, now)) continue;
        const auto want = line.Wanted().For(t.config.kind, t.config.group);
        bool due = t.items.size() != want.size() || (!blacklistOnly && !want.empty() && (t.verifyAll || now >= t.verifyAt));
        for (const auto& [item, value] : want) {
            if (due || (blacklistOnly && item != "blacklist")) continue;
            const auto found = t.items.find(item);
            if (found == t.items.end()) {
                due = true;
                continue;
            }
            const TerminalRun::Item& it = found->second;
            if (it.row.applied != value || it.row.state == "pending") {
                due = it.row.state != "failed" || now >= it.retryAt;
            }
        }
        if (due) targets.push_back(&t);
    }
    // When to look again: the first failed item's retry, or the first
    // read-back.
    std::optional<Scheduler::Time> next;
    if (targets.empty()) {
        for (TerminalRun& t : line.Terminals()) {
            if (line.Wanted().For(t.config.kind, t.config.group).empty()) continue;
            next = next ? std::min(*next, t.verifyAt) : t.verifyAt;
            for (const auto& [item, it] : t.items) {
                if (it.row.state == "failed") next = std::min(*next, it.retryAt);
            }
        }
        if (!blacklistOnly) line.scheduler().SyncAt(next);
        return true;
    }
    const bool ok = RunJob(line, blacklistOnly ? "sync-blacklist" : "sync", line.Jobs().verifyMs, targets,
                           [&](TerminalRun& t) { return SyncTerminal(line, t, blacklistOnly); });
    // Looked at again on the next turn: what is left is due then or later.
    if (!blacklistOnly) line.scheduler().SyncAt(Clock::now() + line.scheduler().Backoff(1));
    return ok;
}

}  // namespace talvo::service

// The desired state's job: brings each terminal of the line to what the
// site wants (desired.h) with the fewest exchanges, reads back what it can
// read, and records per terminal and item what it found.
//
// What a terminal is known to hold is kept with its row (`applied`): a push
// that the terminal accepted makes it the wanted value; a read-back
// replaces it with what the terminal says.  A push that went unanswered
// leaves it unknown (""), and the next push reads the item back first where
// it can be read.
//
// A blacklist is never written through empty: a card blocked before and
// after a change stays on the terminal at every moment.  New cards take the
// positions of the cards that go (written by position), the rest are added
// at the end, and what is left to go is removed one by one.
#include <algorithm>
#include <chrono>
#include <set>

#include <nlohmann/json.hpp>

#include "line/jobs.h"
#include "log.h"

namespace talvo::service {
namespace {

using nlohmann::json;
using Clock = Scheduler::Clock;

constexpr std::size_t kPerRequest = 255;  // entries one request carries
constexpr std::size_t kPerRead = 32;      // blacklist cards one read returns
constexpr int kBlocksPerTurn = 4;         // blacklist blocks a verify reads in one turn
// A read-back stopped between two blocks (a lost card waits, or the verify
// had its share of the line): resumed where it stopped.  Not a library code.
constexpr int kReadPaused = 1;

// One exchange's result, counted for the terminal and the metrics.
int Count(LineContext& line, TerminalRun& t, int rc) {
    line.metrics().Exchange(line.Name(), "sync", rc);
    line.Outcome(t, rc);
    return rc;
}

// A read-back's: a read that fails is the item's failure, never the
// terminal's (a reply too long for the read, say, leaves it up and its
// records collected).
int CountRead(LineContext& line, TerminalRun& t, int rc) {
    line.metrics().Exchange(line.Name(), "sync", rc);
    if (rc == TALVO_OK) line.Outcome(t, rc);
    return rc;
}

std::vector<std::string> Cards(const std::string& canonical) {
    if (canonical.empty()) return {};
    return json::parse(canonical).get<std::vector<std::string>>();
}

std::string Canonical(std::vector<std::string> cards) {
    std::sort(cards.begin(), cards.end());
    cards.erase(std::unique(cards.begin(), cards.end()), cards.end());
    return json(cards).dump();
}

// A blacklist read back holding cards the service does not block: they
// are adopted (desired.h), and `want` takes them in for this turn, so that
// nothing found on a terminal is removed for not being known; a card
// someone unblocked is not taken in, and goes.  With [manage]
// foreign_cards = "remove" they all go.
void AdoptFound(LineContext& line, TerminalRun& t, std::string& want, const std::string& found) {
    if (!line.Jobs().adoptForeignCards || found.empty()) return;
    std::set<std::string> all;
    for (const std::string& c : Cards(want)) all.insert(c);
    const std::size_t before = all.size();
    std::vector<std::string> foreign;
    for (const std::string& c : Cards(found)) {
        if (all.count(c) == 0) foreign.push_back(c);
    }
    if (foreign.empty()) return;
    try {
        std::size_t adopted = 0;
        foreign = AdoptFoundCards(*line.Database(), line.Name(), t.config.number, t.config.group, want, found, adopted);
        if (adopted > 0) {
            Log(Level::kWarning, "cards-adopted", {{"line", line.Name()}, {"terminal", std::to_string(t.config.number)},
                                                   {"cards", std::to_string(adopted)}});
        }
    } catch (const DbError& e) {
        // Kept on the terminal all the same; the next read-back adopts them.
        Log(Level::kWarning, "cards-not-adopted", {{"line", line.Name()}, {"error", e.what()}});
    }
    all.insert(foreign.begin(), foreign.end());
    if (all.size() != before) want = json(std::vector<std::string>(all.begin(), all.end())).dump();
}

// The one place a read-back's result is taken: what the terminal was found
// to hold of `item`, in the item's canonical form (for the blacklist,
// `cards` in the terminal's order as well, and the cards found that the
// service does not block adopted into `want`).
void Found(LineContext& line, TerminalRun& t, TerminalRun::Item& it, const std::string& found,
           const std::vector<std::string>* cards = nullptr, std::string* want = nullptr) {
    if (want != nullptr) AdoptFound(line, t, *want, found);
    it.row.applied = found;
    if (cards != nullptr) {
        it.layout = *cards;
        it.layoutKnown = true;
    }
}

// Reads the blacklist back, from where a read stopped before: a lost card
// waiting stops it between two blocks, and a verify (`paced`) reads a few
// blocks per turn within its share of the line's time.  On the last block,
// the whole list goes to Found and `out` has it sorted.
int ReadBlacklist(LineContext& line, TerminalRun& t, TerminalRun::Item& it, bool paced, std::string& out,
                  std::string& want) {
    char buffer[kPerRead * 6];
    for (int blocks = 0;; ++blocks) {
        if (line.Tasks().Has(Task::Kind::kSync)) return kReadPaused;
        if (paced && (blocks >= kBlocksPerTurn || !line.VerifyMay(Clock::now()))) return kReadPaused;
        const auto started = Clock::now();
        const auto position = static_cast<unsigned>(it.reading.size());
        std::size_t n = 0;
        const int rc = CountRead(line, t, talvo_blacklist_read(line.OpenLine(), t.config.number, position, buffer,
                                                               kPerRead, &n));
        if (paced) line.VerifySpent(Clock::now() - started);
        if (rc != TALVO_OK) {
            it.reading.clear();
            return rc;
        }
        for (std::size_t i = 0; i < n; ++i) it.reading.emplace_back(buffer + 6 * i, 6);
        if (n < kPerRead || it.reading.size() >= kBlacklistCapacity) break;
    }
    std::vector<std::string> cards;
    cards.swap(it.reading);
    out = Canonical(cards);
    Found(line, t, it, out, &cards, &want);
    return TALVO_OK;
}

// Brings the blacklist from what it is known to hold (read back first when
// that is not known) to `want`, never through empty.  On a failure,
// `applied` is what it is known to hold then: the writes it answered, or
// unknown after one it did not answer.
int PushBlacklist(LineContext& line, TerminalRun& t, TerminalRun::Item& it, std::string& want) {
    talvo_line* h = line.OpenLine();
    const int n = t.config.number;
    SyncRow& row = it.row;
    if (row.applied.empty()) {
        std::string found;
        if (const int rc = ReadBlacklist(line, t, it, false, found, want); rc != TALVO_OK) return rc;
    }
    const std::vector<std::string> target = Cards(want);
    std::vector<std::string> have = Cards(row.applied);
    std::vector<std::string> adds, removes;
    std::set_difference(target.begin(), target.end(), have.begin(), have.end(), std::back_inserter(adds));
    std::set_difference(have.begin(), have.end(), target.begin(), target.end(), std::back_inserter(removes));
    // Cards that go and come: where their positions are not known, learned
    // by a read-back when that is cheaper than removing them one by one.
    const std::size_t pairs = std::min(adds.size(), removes.size());
    if (pairs > 0 && !it.layoutKnown && pairs > have.size() / kPerRead + 1) {
        std::string found;
        const int rc = ReadBlacklist(line, t, it, false, found, want);
        if (rc == TALVO_OK) return PushBlacklist(line, t, it, want);
        // Its order could not be read: the cards that go are removed one by
        // one (unless the terminal is gone).
        if (rc == kReadPaused || !Answered(rc)) return rc;
    }
    std::set<std::string> known(have.begin(), have.end());
    auto settle = [&](int rc) {
        // Refused: what the terminal answered before is what it holds.
        // Unanswered: the last write may or may not have arrived.
        row.applied = Answered(rc) ? json(std::vector<std::string>(known.begin(), known.end())).dump() : "";
        if (!Answered(rc)) it.layoutKnown = false;
        // A read under way may have passed a position that changed: it
        // starts again.
        it.reading.clear();
        return rc;
    };
    const std::set<std::string> going(removes.begin(), removes.end());
    std::size_t next = 0;  // the next card of `adds` to write
    if (it.layoutKnown && pairs > 0) {
        // The new cards take the places of those that go, in runs of
        // adjacent positions.
        std::vector<std::size_t> holes;
        for (std::size_t i = 0; i < it.layout.size() && holes.size() < adds.size(); ++i) {
            if (going.count(it.layout[i]) != 0) holes.push_back(i);
        }
        for (std::size_t i = 0; i < holes.size();) {
            std::size_t run = 1;
            while (i + run < holes.size() && run < kPerRequest && holes[i + run] == holes[i] + run) ++run;
            std::string chunk;
            for (std::size_t k = 0; k < run; ++k) chunk += adds[next + k];
            const int rc = Count(line, t, talvo_blacklist_set(h, n, static_cast<unsigned>(holes[i]), chunk.c_str(), run));
            if (rc != TALVO_OK) return settle(rc);
            for (std::size_t k = 0; k < run; ++k) {
                const std::string& old = it.layout[holes[i + k]];
                it.layout[holes[i + k]] = adds[next + k];
                known.insert(adds[next + k]);
                if (std::find(it.layout.begin(), it.layout.end(), old) == it.layout.end()) known.erase(old);
            }
            it.reading.clear();  // a read under way has the old cards there
            next += run;
            i += run;
        }
    }
    // The rest of the new cards at the end (the read under way reads them
    // there)...
    while (next < adds.size()) {
        const std::size_t count = std::min(kPerRequest, adds.size() - next);
        std::string chunk;
        for (std::size_t k = 0; k < count; ++k) chunk += adds[next + k];
        const int rc = Count(line, t, talvo_blacklist_add(h, n, chunk.c_str(), count));
        if (rc != TALVO_OK) return settle(rc);
        for (std::size_t k = 0; k < count; ++k) {
            known.insert(adds[next + k]);
            if (it.layoutKnown) it.layout.push_back(adds[next + k]);
        }
        next += count;
    }
    // ... then what is left of the cards that go, one by one.
    for (const std::string& card : removes) {
        if (known.count(card) == 0) continue;
        const int rc = Count(line, t, talvo_blacklist_remove(h, n, card.c_str()));
        if (rc != TALVO_OK) return settle(rc);
        known.erase(card);
        it.layoutKnown = false;
        it.reading.clear();
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
int Read(LineContext& line, TerminalRun& t, TerminalRun::Item& it, const std::string& item, std::string& want,
         bool paced, std::string& out) {
    talvo_line* h = line.OpenLine();
    const int n = t.config.number;
    if (item == "blacklist") return ReadBlacklist(line, t, it, paced, out, want);
    if (item == "menu") {
        std::int32_t cents[256];
        std::size_t count = 0;
        const int rc = CountRead(line, t, talvo_menu_read(h, n, cents, 256, &count));
        if (rc == TALVO_OK) out = json(std::vector<std::int32_t>(cents, cents + count)).dump();
        return rc;
    }
    if (item == "zones") {
        talvo_time_of_day zones[TALVO_ZONES];
        const int rc = CountRead(line, t, talvo_zones_read(h, n, zones, TALVO_ZONES));
        if (rc != TALVO_OK) return rc;
        json a = json::array();
        for (const auto& z : zones) a.push_back(Hhmm(z));
        out = a.dump();
        return rc;
    }
    if (item == "attend_zones") {
        talvo_attend_zone zones[TALVO_ZONES] = {};
        const int rc = CountRead(line, t, talvo_attend_zones_read(h, n, zones, TALVO_ZONES));
        if (rc != TALVO_OK) return rc;
        json a = json::array();
        for (const auto& z : zones) a.push_back(Hhmm(z.start) + "-" + Hhmm(z.end) + "/" + std::string(z.code, 2));
        out = a.dump();
        return rc;
    }
    if (item == "reasons") {
        json o = json::object();
        const json kept = json::parse(want);
        for (auto reason = kept.begin(); reason != kept.end(); ++reason) {
            char text[16] = {};
            const int rc =
                CountRead(line, t, talvo_attend_reason_read(h, n, std::stoi(reason.key()), text, sizeof text));
            if (rc != TALVO_OK) return rc;
            o[reason.key()] = std::string(text);
        }
        out = o.dump();
        return TALVO_OK;
    }
    if (item == "cmw") {
        char text[16] = {};
        const int rc = CountRead(line, t, talvo_cmw_read(h, n, text, sizeof text));
        if (rc == TALVO_OK) out = json(std::string(text)).dump();
        return rc;
    }
    if (item == "mdeb") {
        std::int32_t cents = 0;
        const int rc = CountRead(line, t, talvo_mdeb_read(h, n, &cents));
        if (rc == TALVO_OK) out = json(cents).dump();
        return rc;
    }
    return TALVO_E_INVALID;
}


// How an item's turn ended.
enum class Step {
    kDone,    // the terminal answered (the item in sync, or failed)
    kSilent,  // the terminal did not answer: the item waits for it
    kPaused,  // a read-back stopped between blocks, resumed on a later turn
};

// Brings one item of one terminal to `want`, reading it back first where a
// verify is due (`verify`: this turn may read back).
Step SyncItem(LineContext& line, TerminalRun& t, const std::string& item, const std::string& wanted, bool verify) {
    // What the terminal is to hold; a blacklist read back this turn adds
    // the cards found on it (AdoptFound).
    std::string want = wanted;
    TerminalRun::Item& it = t.items[item];
    SyncRow& row = it.row;
    const ItemInfo* info = FindItem(item);
    const auto now = Clock::now();
    const bool held = row.applied == want && row.state == "in_sync";
    verify = verify && it.verifyDue;
    if (held && !verify) return Step::kDone;
    if (row.state == "failed" && now < it.retryAt) return Step::kDone;

    row.line = line.Name();
    row.terminal = t.config.number;
    row.item = item;
    it.dirty = true;
    int rc = TALVO_OK;
    bool readFailed = false;
    auto readBack = [&](bool paced) {
        std::string found;
        rc = Read(line, t, it, item, want, paced, found);
        if (rc == kReadPaused) return;
        if (rc != TALVO_OK) {
            readFailed = true;
            return;
        }
        if (item != "blacklist") Found(line, t, it, found);
        it.verifyDue = false;
        if (found == want) row.verified = row.lastMatch = UtcNow();
    };
    // What it holds, asked first where that is due: a terminal reset or
    // replaced meanwhile is rewritten from what it really holds.
    if (held && info->readable) readBack(true);
    if (rc == kReadPaused) return Step::kPaused;
    if (held && !info->readable) it.verifyDue = false;
    if (rc == TALVO_OK && (row.applied != want || (!held && row.state != "in_sync"))) {
        rc = item == "blacklist" ? PushBlacklist(line, t, it, want) : Push(line, t, item, want);
        if (rc == kReadPaused) return Step::kPaused;
        if (rc == TALVO_OK) {
            row.applied = want;
            row.lastMatch = UtcNow();
            // Small items are read back after every push; the blacklist is
            // confirmed by the answers to its writes.
            if (info->readable && item != "blacklist") readBack(false);
        } else if (item != "blacklist") {
            // What part of it arrived is not known.
            row.applied.clear();
        }
    }
    if (rc == TALVO_OK && row.applied == want) {
        row.state = "in_sync";
        row.error.clear();
        row.failures = 0;
        return Step::kDone;
    }
    if (rc == TALVO_OK) {
        // Accepted, but it holds something else: pushed again after a
        // back-off, never in a loop.
        row.state = "failed";
        row.error = "the terminal holds other contents than were pushed";
    } else if (readFailed || Answered(rc)) {
        // A read-back that failed is the item's failure: the terminal stays
        // up and its other items and records go on.
        row.state = "failed";
        row.error = readFailed ? std::string("read-back failed: ") + talvo_strerror(rc) : talvo_strerror(rc);
    } else {
        row.state = "pending";
        row.error = talvo_strerror(rc);
        return Step::kSilent;
    }
    ++row.failures;
    it.retryAt = now + line.scheduler().Backoff(row.failures);
    Log(Level::kWarning, "sync-failed", {{"line", line.Name()}, {"terminal", std::to_string(t.config.number)},
                                         {"item", item}, {"error", row.error}});
    return Step::kDone;
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
    // A verify due: each readable item is read back on this turn or, where
    // a read-back stops between blocks, on the next ones.
    if (!blacklistOnly && (t.verifyAll || now >= t.verifyAt)) {
        for (const auto& [item, value] : want) t.items[item].verifyDue = true;
        t.verifyAll = false;
        t.verifyAt = now + std::chrono::milliseconds(line.Jobs().verifyMs);
    }
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
        Step step = Step::kDone;
        try {
            step = SyncItem(line, t, item, want.at(item), !blacklistOnly);
        } catch (const nlohmann::json::exception& e) {
            // A value in the database this program cannot read (written by
            // hand, or by a newer version): the item fails, the rest goes on.
            TerminalRun::Item& it = t.items[item];
            it.row = SyncRow{line.Name(), t.config.number, item, "failed", "", std::string("unreadable value: ") + e.what(), 0, "", "", ""};
            it.dirty = true;
            it.retryAt = now + std::chrono::milliseconds(line.Jobs().verifyMs);
        }
        if (step == Step::kSilent) {
            answered = false;
            break;
        }
        // A lost card waiting: it goes first, the rest on a later turn.
        if (step == Step::kPaused && line.Tasks().Has(Task::Kind::kSync)) break;
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

bool BlacklistDue(LineContext& line) {
    if (!line.WantedLoaded()) return false;
    const auto now = Clock::now();
    for (TerminalRun& t : line.Terminals()) {
        if (line.scheduler().InBackoff(t.config.number, now)) continue;
        const auto want = line.Wanted().For(t.config.kind, t.config.group);
        const auto wanted = want.find("blacklist");
        if (wanted == want.end()) continue;
        const auto found = t.items.find("blacklist");
        if (found == t.items.end()) return true;
        const SyncRow& row = found->second.row;
        if ((row.applied != wanted->second || row.state != "in_sync") &&
            (row.state != "failed" || now >= found->second.retryAt)) {
            return true;
        }
    }
    return false;
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
            // A verify under way, within its share of the line.
            if (!blacklistOnly && t.items.count(item) != 0) {
                const TerminalRun::Item& it = t.items[item];
                if (it.verifyDue && line.VerifyMay(now) && (it.row.state != "failed" || now >= it.retryAt)) {
                    due = true;
                    continue;
                }
            }
            const auto found = t.items.find(item);
            if (found == t.items.end()) {
                due = true;
                continue;
            }
            const TerminalRun::Item& it = found->second;
            if (it.row.applied != value || it.row.state == "pending" || it.row.state == "failed") {
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
                if (it.verifyDue) next = std::min(*next, line.VerifyNext());
            }
        }
        if (!blacklistOnly) line.scheduler().SyncAt(next);
        return true;
    }
    const bool ok = RunJob(line, blacklistOnly ? "sync-blacklist" : "sync", line.Jobs().verifyMs, targets,
                           [&](TerminalRun& t) {
                               // A lost card waiting goes before the rest.
                               if (!blacklistOnly && line.Tasks().Has(Task::Kind::kSync)) return true;
                               return SyncTerminal(line, t, blacklistOnly);
                           });
    // Looked at again on the next turn: what is left is due then or later.
    if (!blacklistOnly) line.scheduler().SyncAt(Clock::now() + line.scheduler().Backoff(1));
    return ok;
}

}  // namespace talvo::service

#include "manage/desired.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/sha.h>
#endif

#include <algorithm>
#include <stdexcept>

#include "db/store.h"
#include "values.h"

namespace talvo::service {
namespace {

using nlohmann::json;

const std::vector<ItemInfo> kItems = {
    {"blacklist", "payment", true, false},     {"menu", "payment", true, false},
    {"subsidy", "payment", false, false},      {"zones", "payment", true, false},
    {"cmw", "payment", true, false},           {"mdeb", "payment", true, false},
    {"lock", "payment", false, false},         {"card_key", "payment", false, true},
    {"attend_zones", "attendance", true, false}, {"reasons", "attendance", true, false},
};

// An amount is a text ("1.60"), the form it is shown in.  A bare number is
// refused: 160 could be cents or units, and taking it either way has set
// prices a hundred times too high.
bool Cents(const json& v, std::int32_t& out, std::string& error, const std::string& what) {
    if (v.is_number()) {
        error = what + ": " + v.dump() + " is a bare number, which could be cents or units; give the amount as a text "
                "such as \"12.50\"";
        return false;
    }
    if (!v.is_string()) {
        error = what + ": an amount such as \"12.50\"";
        return false;
    }
    const std::string text = v.get<std::string>();
    const std::string why = common::ParseCents(text, out);
    if (!why.empty()) {
        error = what + ": " + why;
        return false;
    }
    return true;
}

bool Canonical(const std::string& item, const json& v, json& out, std::string& error) {
    if (item == "menu") {
        if (!v.is_array()) return error = "menu: a list of prices such as [\"1.50\", \"2.00\"]", false;
        if (v.size() > kMenuCapacity) {
            return error = "menu: " + std::to_string(v.size()) + " prices, a terminal holds at most " +
                           std::to_string(kMenuCapacity),
                   false;
        }
        out = json::array();
        for (std::size_t i = 0; i < v.size(); ++i) {
            std::int32_t c = 0;
            if (!Cents(v[i], c, error, "menu price " + std::to_string(i + 1))) return false;
            out.push_back(c);
        }
        return true;
    }
    if (item == "subsidy") {
        if (!v.is_object()) return error = "subsidy: {\"entries\": [...], \"max\": \"5.00\", \"time\": \"...\"}", false;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.key() != "entries" && it.key() != "max" && it.key() != "time") {
                return error = "subsidy: unknown field '" + it.key() + "' (entries, max, time)", false;
            }
        }
        out = json::object();
        json entries = json::array();
        if (v.contains("entries")) {
            const json& e = v["entries"];
            if (!e.is_array()) return error = "subsidy entries: a list of 12-character texts", false;
            if (e.size() > kSubsidyCapacity) {
                return error = "subsidy: " + std::to_string(e.size()) + " entries, a terminal holds at most " +
                               std::to_string(kSubsidyCapacity),
                       false;
            }
            for (std::size_t i = 0; i < e.size(); ++i) {
                std::string text, entry;
                const std::string why = e[i].is_string() ? common::ParseSubsidyEntry(e[i].get<std::string>(), entry)
                                                         : "a 12-character text";
                if (!why.empty()) return error = "subsidy entry " + std::to_string(i + 1) + ": " + why, false;
                entries.push_back(entry);
            }
        }
        out["entries"] = entries;
        std::int32_t max = 0;
        if (v.contains("max") && !Cents(v["max"], max, error, "subsidy max")) return false;
        out["max_cents"] = max;
        std::string time;
        if (v.contains("time")) {
            std::string why = v["time"].is_string() ? common::ParseSubsidyTime(v["time"].get<std::string>(), time)
                                                    : "a text";
            if (!why.empty()) return error = "subsidy time: " + why, false;
        }
        out["time"] = time;
        return true;
    }
    if (item == "zones" || item == "attend_zones") {
        const bool attend = item == "attend_zones";
        if (!v.is_array() || v.empty() || v.size() > common::kZones) {
            return error = item + ": a list of 1 to 8 " +
                           (attend ? "zones such as \"07:00-09:00/01\"" : "times of day such as \"07:00\""),
                   false;
        }
        out = json::array();
        for (std::size_t i = 0; i < common::kZones; ++i) {
            std::string text = attend ? "00:00-00:00/00" : "00:00";
            if (i < v.size()) {
                if (!v[i].is_string()) return error = item + " " + std::to_string(i + 1) + ": a text", false;
                text = v[i].get<std::string>();
            }
            std::string why;
            if (attend) {
                common::AttendZone z;
                why = common::ParseAttendZone(text, z);
                text = common::FormatTime(z.start) + "-" + common::FormatTime(z.end) + "/" + z.code;
            } else {
                common::TimeOfDay t;
                why = common::ParseTimeOfDay(text, t);
                text = common::FormatTime(t);
            }
            if (!why.empty()) return error = item + " " + std::to_string(i + 1) + ": " + why, false;
            out.push_back(text);
        }
        return true;
    }
    if (item == "reasons") {
        if (!v.is_object() || v.empty()) return error = "reasons: {\"1\": \"SICK\", ...}", false;
        out = json::object();
        for (auto it = v.begin(); it != v.end(); ++it) {
            const std::string& k = it.key();
            const bool number = !k.empty() && k.size() <= 3 && std::all_of(k.begin(), k.end(), ::isdigit) &&
                                std::stoi(k) <= 255;
            if (!number) return error = "reasons: '" + k + "' is not a reason number 0 to 255", false;
            std::string text;
            const std::string why = it->is_string() ? common::ParseReason(it->get<std::string>(), text) : "a text";
            if (!why.empty()) return error = "reason " + k + ": " + why, false;
            out[std::to_string(std::stoi(k))] = text;
        }
        return true;
    }
    if (item == "cmw" || item == "card_key") {
        std::string text, clean;
        if (!v.is_string()) return error = item + ": a text", false;
        const std::string why = item == "cmw" ? common::ParseCmw(v.get<std::string>(), clean)
                                              : common::ParseKey(v.get<std::string>(), clean);
        if (!why.empty()) return error = item + ": " + why, false;
        // The terminal keeps the CMW text padded with '0' to 12 characters.
        if (item == "cmw") clean.append(12 - clean.size(), '0');
        out = clean;
        return true;
    }
    if (item == "mdeb") {
        std::int32_t c = 0;
        if (!Cents(v, c, error, "mdeb")) return false;
        out = c;
        return true;
    }
    if (item == "lock") {
        if (!v.is_boolean()) return error = "lock: true (locked) or false", false;
        out = v.get<bool>();
        return true;
    }
    error = "no item '" + item + "'";
    return false;
}

void BumpGeneration(Connection& db) { db.Query("UPDATE desired_generation SET generation = generation + 1"); }

std::int64_t BlacklistVersion(Connection& db, const std::string& scope) {
    const Rows r = db.Query("SELECT version FROM desired WHERE scope = ? AND item = 'blacklist'", {scope});
    return r.empty() ? 0 : AsInt(r[0][0]);
}

}  // namespace

const std::vector<ItemInfo>& Items() { return kItems; }

const ItemInfo* FindItem(const std::string& name) {
    for (const ItemInfo& i : kItems) {
        if (name == i.name) return &i;
    }
    return nullptr;
}

bool CanonicalValue(const std::string& item, const json& value, std::string& canonical, std::string& error) {
    json out;
    if (item == "blacklist") {
        error = "the blacklist is changed a card at a time (/api/cards)";
        return false;
    }
    if (!Canonical(item, value, out, error)) return false;
    canonical = out.dump();
    return true;
}

json InterfaceValue(const std::string& item, const std::string& canonical) {
    const ItemInfo* info = FindItem(item);
    if (info != nullptr && info->secret) return json{{"set", true}};
    const json v = json::parse(canonical);
    if (item == "menu") {
        json out = json::array();
        for (const json& c : v) out.push_back(common::FormatCents(c.get<std::int64_t>()));
        return out;
    }
    if (item == "mdeb") return common::FormatCents(v.get<std::int64_t>());
    if (item == "subsidy") {
        json out{{"entries", v.value("entries", json::array())},
                 {"max", common::FormatCents(v.value("max_cents", std::int64_t{0}))}};
        const std::string time = v.value("time", std::string());
        if (!time.empty()) out["time"] = time;
        return out;
    }
    return v;
}

bool KeepsSecret(const std::string& item, const json& value) {
    const ItemInfo* info = FindItem(item);
    return info != nullptr && info->secret && value == json{{"set", true}};
}

bool ValidCard(const std::string& card) {
    std::string checked;
    return common::ParseCard(card, checked).empty();
}

std::map<std::string, std::string> Desired::For(const std::string& kind, const std::string& group) const {
    std::map<std::string, std::string> out;
    for (const ItemInfo& info : kItems) {
        if (kind != info.kind) continue;
        const std::string name = info.name;
        if (name == "blacklist") {
            // The site's cards and the group's together.
            std::set<std::string> cards;
            bool kept = false;
            for (const std::string& scope : {std::string(kSiteScope), group}) {
                if (scope.empty() || !blacklistVersions.count(scope)) continue;
                kept = true;
                auto it = blocked.find(scope);
                if (it != blocked.end()) cards.insert(it->second.begin(), it->second.end());
            }
            if (kept) out[name] = json(std::vector<std::string>(cards.begin(), cards.end())).dump();
            continue;
        }
        auto it = group.empty() ? items.end() : items.find({group, name});
        if (it == items.end()) it = items.find({kSiteScope, name});
        if (it != items.end()) out[name] = it->second.value;
    }
    return out;
}

std::int64_t DesiredGeneration(Connection& db) {
    const Rows r = db.Query("SELECT generation FROM desired_generation");
    return r.empty() ? 0 : AsInt(r[0][0]);
}

Desired LoadDesired(Connection& db) {
    Desired d;
    d.generation = DesiredGeneration(db);
    for (const Row& r : db.Query("SELECT scope, item, version, value, changed_at, changed_by FROM desired")) {
        DesiredItem i{AsText(r[0]), AsText(r[1]), AsInt(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5])};
        if (i.item == "blacklist") d.blacklistVersions[i.scope] = i.version;
        else d.items[{i.scope, i.item}] = std::move(i);
    }
    for (const Row& r : db.Query("SELECT scope, card FROM blocked_cards WHERE blocked = 1")) {
        d.blocked[AsText(r[0])].insert(AsText(r[1]));
    }
    return d;
}

std::int64_t WriteAudit(Connection& db, const Actor& who, const std::string& action, const std::string& detail,
                        const std::string& outcome) {
    const Rows r = db.Query("INSERT INTO audit (at, who, address, action, detail, outcome) VALUES (?, ?, ?, ?, ?, ?) "
                            "RETURNING id",
                            {UtcNow(), who.name, who.address, action, detail, outcome});
    return r.empty() ? 0 : AsInt(r[0][0]);
}

void SetAuditOutcome(Connection& db, std::int64_t id, const std::string& outcome) {
    db.Query("UPDATE audit SET outcome = ? WHERE id = ?", {outcome, id});
}

namespace {

// Every change of the desired state holds this for its transaction on
// PostgreSQL, so that the version read is the one written over (on SQLite
// BEGIN IMMEDIATE does the same).  The writes below compare the version
// besides.
void LockDesired(Connection& db) {
    if (db.Kind() == Backend::kPostgres) db.Query("SELECT pg_advisory_xact_lock(7140002)");
}

// The version of (scope, item) moved from `expected` to expected + 1 (the
// row made at 1 when `expected` is 0); false when it was not at `expected`.
bool MoveVersion(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                 const std::string& value, const std::string& now, const std::string& by) {
    if (expected == 0) {
        return !db.Query("INSERT INTO desired (scope, item, version, value, changed_at, changed_by) "
                         "VALUES (?, ?, 1, ?, ?, ?) ON CONFLICT (scope, item) DO NOTHING RETURNING version",
                         {scope, item, value, now, by})
                    .empty();
    }
    return !db.Query("UPDATE desired SET version = version + 1, value = ?, changed_at = ?, changed_by = ? "
                     "WHERE scope = ? AND item = ? AND version = ? RETURNING version",
                     {value, now, by, scope, item, expected})
                .empty();
}

std::string Stale(const std::string& what, std::int64_t current, std::int64_t expected) {
    return what + " is at version " + std::to_string(current) + ", not " + std::to_string(expected) +
           ": someone changed it meanwhile";
}

// A change refused after its transaction began: rolled back, and written
// to the audit table as refused.
ChangeResult Refused(Connection& db, Transaction& tx, const Actor& who, const std::string& action,
                     const std::string& detail, ChangeResult r) {
    tx.Abandon();
    WriteAudit(db, who, action, detail, "refused " + std::to_string(r.status) + ": " + r.error);
    return r;
}

}  // namespace

ChangeResult SetItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                     const std::string& canonical, const Actor& who) {
    Transaction tx(db);
    LockDesired(db);
    const std::string action = "set " + item;
    const std::string detail = scope + ": " + (FindItem(item)->secret ? std::string("(secret)") : canonical);
    const Rows r = db.Query("SELECT version FROM desired WHERE scope = ? AND item = ?", {scope, item});
    const std::int64_t current = r.empty() ? 0 : AsInt(r[0][0]);
    const std::string now = UtcNow();
    if (current != expected || !MoveVersion(db, scope, item, expected, canonical, now, who.name)) {
        return Refused(db, tx, who, action, detail, {409, Stale(item + " of " + scope, current, expected), current});
    }
    BumpGeneration(db);
    WriteAudit(db, who, action, detail);
    tx.Commit();
    return {200, "", expected + 1};
}

ChangeResult RemoveItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                        const Actor& who) {
    Transaction tx(db);
    LockDesired(db);
    const std::string action = "release " + item;
    const std::string detail = scope + ": no longer kept by the service";
    const Rows r = db.Query("SELECT version FROM desired WHERE scope = ? AND item = ?", {scope, item});
    if (r.empty()) return Refused(db, tx, who, action, detail, {404, item + " is not kept for " + scope, 0});
    const std::int64_t current = AsInt(r[0][0]);
    if (current != expected ||
        db.Query("DELETE FROM desired WHERE scope = ? AND item = ? AND version = ? RETURNING version",
                 {scope, item, expected})
            .empty()) {
        return Refused(db, tx, who, action, detail, {409, Stale(item + " of " + scope, current, expected), current});
    }
    if (item == "blacklist") db.Query("UPDATE blocked_cards SET blocked = 0 WHERE scope = ?", {scope});
    BumpGeneration(db);
    WriteAudit(db, who, action, detail);
    tx.Commit();
    return {200, "", 0};
}

namespace {

// Blocks or unblocks one card inside a transaction holding the lock; the
// blacklist's version moved from `current`.  False when there was nothing
// to change.
bool ChangeCard(Connection& db, const std::string& scope, const std::string& card, bool blocked, bool was, bool known,
                const std::string& reason, const std::string& by, const std::string& now) {
    if (blocked == was) return false;
    if (!known) {
        db.Query("INSERT INTO blocked_cards (scope, card, blocked, reason, by_name, at) VALUES (?, ?, 1, ?, ?, ?)",
                 {scope, card, reason, by, now});
    } else {
        db.Query("UPDATE blocked_cards SET blocked = ?, reason = ?, by_name = ?, at = ? WHERE scope = ? AND card = ?",
                 {static_cast<std::int64_t>(blocked ? 1 : 0), reason, by, now, scope, card});
    }
    db.Query("INSERT INTO card_events (scope, card, action, reason, by_name, at) VALUES (?, ?, ?, ?, ?, ?)",
             {scope, card, std::string(blocked ? "block" : "unblock"), reason, by, now});
    return true;
}

}  // namespace

ChangeResult SetCardBlocked(Connection& db, const std::string& scope, const std::string& card, bool blocked,
                            const std::string& reason, std::optional<std::int64_t> expected, const Actor& who) {
    Transaction tx(db);
    LockDesired(db);
    const std::string action = blocked ? "block card" : "unblock card";
    const std::string detail = scope + ": " + card + (reason.empty() ? "" : " (" + reason + ")");
    const std::int64_t current = BlacklistVersion(db, scope);
    if (expected && *expected != current) {
        return Refused(db, tx, who, action, detail, {409, Stale("the blacklist of " + scope, current, *expected), current});
    }
    const Rows r = db.Query("SELECT blocked FROM blocked_cards WHERE scope = ? AND card = ?", {scope, card});
    const bool was = !r.empty() && AsInt(r[0][0]) == 1;
    if (!blocked && !was) {
        return Refused(db, tx, who, action, detail, {404, "card " + card + " is not blocked for " + scope, current});
    }
    const std::string now = UtcNow();
    if (!ChangeCard(db, scope, card, blocked, was, !r.empty(), reason, who.name, now)) {
        return {200, "", current};  // nothing to change
    }
    if (!MoveVersion(db, scope, "blacklist", current, "", now, who.name)) {
        return Refused(db, tx, who, action, detail, {409, Stale("the blacklist of " + scope, current + 1, current), current});
    }
    BumpGeneration(db);
    WriteAudit(db, who, action, detail);
    tx.Commit();
    return {200, "", current + 1};
}

std::vector<std::string> AdoptFoundCards(Connection& db, const std::string& line, int terminal,
                                         const std::string& group, const std::string& wanted,
                                         const std::string& found, std::size_t& count) {
    count = 0;
    const json have = json::parse(found.empty() ? "[]" : found);
    const json want = json::parse(wanted.empty() ? "[]" : wanted);
    std::set<std::string> known;
    for (const json& c : want) known.insert(c.get<std::string>());
    std::vector<std::string> foreign;
    for (const json& c : have) {
        const std::string card = c.get<std::string>();
        if (!known.count(card) && ValidCard(card)) foreign.push_back(card);
    }
    if (foreign.empty()) return {};
    const std::string scope = group.empty() ? std::string(kSiteScope) : group;
    const std::string where = line + "/" + std::to_string(terminal);
    const std::string reason = "found on " + where;
    const Actor who{"talvod", ""};
    Transaction tx(db);
    LockDesired(db);
    std::vector<std::string> adopted;
    std::vector<std::string> keep;
    const std::string now = UtcNow();
    for (const std::string& card : foreign) {
        // Blocked meanwhile at the site or in the group: kept, nothing to
        // adopt.  Unblocked there by someone: that is what removes a card,
        // and the terminal has not caught up yet.
        const Rows seen = db.Query("SELECT blocked FROM blocked_cards WHERE card = ? AND scope IN (?, ?)",
                                    {card, std::string(kSiteScope), scope});
        bool blocked = false;
        for (const Row& r : seen) blocked = blocked || AsInt(r[0]) != 0;
        if (blocked) keep.push_back(card);
        if (!seen.empty()) continue;
        ChangeCard(db, scope, card, true, false, false, reason, who.name, now);
        adopted.push_back(card);
        keep.push_back(card);
    }
    if (!adopted.empty()) {
        const std::int64_t current = BlacklistVersion(db, scope);
        if (!MoveVersion(db, scope, "blacklist", current, "", now, who.name)) {
            throw DbError("the blacklist of " + scope + " changed meanwhile", DbError::Cause::kConflict);
        }
        BumpGeneration(db);
        std::string cards;
        for (const std::string& c : adopted) cards += (cards.empty() ? "" : " ") + c;
        WriteAudit(db, who, "adopt cards", scope + ": " + cards + " (" + reason + ")");
    }
    tx.Commit();
    count = adopted.size();
    return keep;
}

std::vector<CardEvent> CardHistory(Connection& db, const std::string& card) {
    std::vector<CardEvent> out;
    for (const Row& r : db.Query("SELECT scope, card, action, reason, by_name, at FROM card_events WHERE card = ? "
                                 "ORDER BY id DESC LIMIT 200",
                                 {card})) {
        out.push_back({AsText(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5])});
    }
    return out;
}

BlockedPage ListBlocked(Connection& db, const std::string& prefix, std::int64_t limit, std::int64_t offset) {
    BlockedPage page;
    // Blocked cards newest first; with a prefix, every card that starts
    // with it, blocked or not, in number order.
    const std::string where = prefix.empty() ? "WHERE blocked = 1" : "WHERE card LIKE ?";
    const std::string order = prefix.empty() ? " ORDER BY at DESC, card, scope" : " ORDER BY card, scope";
    std::vector<Value> params;
    if (!prefix.empty()) params.push_back(prefix + "%");
    const Rows total = db.Query("SELECT COUNT(*) FROM blocked_cards " + where, params);
    page.total = total.empty() ? 0 : AsInt(total[0][0]);
    params.push_back(limit);
    params.push_back(offset);
    for (const Row& r : db.Query("SELECT scope, card, reason, by_name, at, blocked FROM blocked_cards " + where + order +
                                     " LIMIT ? OFFSET ?",
                                 params)) {
        page.cards.push_back({AsText(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsInt(r[5]) == 1});
    }
    return page;
}

std::vector<AuditRow> ListAudit(Connection& db, std::int64_t limit, std::int64_t offset) {
    std::vector<AuditRow> out;
    for (const Row& r : db.Query("SELECT id, at, who, address, action, detail, outcome FROM audit ORDER BY id DESC "
                                 "LIMIT ? OFFSET ?",
                                 {limit, offset})) {
        out.push_back({AsInt(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5]),
                       AsText(r[6])});
    }
    return out;
}

std::vector<SyncRow> ListSync(Connection& db, const std::string& line) {
    const std::string sql =
        "SELECT line, terminal, item, state, applied, error, failures, last_match, verified, updated FROM sync_state";
    const Rows rows = line.empty() ? db.Query(sql + " ORDER BY line, terminal, item")
                                   : db.Query(sql + " WHERE line = ? ORDER BY terminal, item", {line});
    std::vector<SyncRow> out;
    for (const Row& r : rows) {
        out.push_back({AsText(r[0]), static_cast<int>(AsInt(r[1])), AsText(r[2]), AsText(r[3]), AsText(r[4]),
                       AsText(r[5]), static_cast<int>(AsInt(r[6])), AsText(r[7]), AsText(r[8]), AsText(r[9])});
    }
    return out;
}

namespace {

#ifdef _WIN32
// SHA-256 by the system's cryptography (BCrypt), as OpenSSL's SHA256().
void Sha256(const std::string& text, unsigned char (&digest)[32]) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (status >= 0) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        if (status >= 0) {
            status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                                    static_cast<ULONG>(text.size()), 0);
            if (status >= 0) status = BCryptFinishHash(hash, digest, sizeof digest, 0);
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (status < 0) throw std::runtime_error("SHA-256 is not available from the system (BCrypt)");
}
#else
void Sha256(const std::string& text, unsigned char (&digest)[32]) {
    static_assert(SHA256_DIGEST_LENGTH == 32);
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
}
#endif

}  // namespace

std::string SecretDigest(const std::string& canonical) {
    unsigned char digest[32];
    const std::string text = "talvo secret item:" + canonical;
    Sha256(text, digest);
    static const char* hex = "0123456789abcdef";
    std::string out = "sha256:";
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

void SaveSync(Connection& db, const SyncRow& s) {
    const std::vector<Value> key{s.line, static_cast<std::int64_t>(s.terminal), s.item};
    // A secret item (the card key) is kept once, in `desired`: its row
    // keeps a digest to compare.
    const ItemInfo* info = FindItem(s.item);
    const bool digest = info != nullptr && info->secret && !s.applied.empty() && s.applied.rfind("sha256:", 0) != 0;
    std::vector<Value> values{s.state, digest ? SecretDigest(s.applied) : s.applied, s.error, static_cast<std::int64_t>(s.failures),
                              s.lastMatch.empty() ? Value(nullptr) : Value(s.lastMatch),
                              s.verified.empty() ? Value(nullptr) : Value(s.verified), UtcNow()};
    std::vector<Value> update = values;
    update.insert(update.end(), key.begin(), key.end());
    Transaction tx(db);
    const Rows r = db.Query("SELECT 1 FROM sync_state WHERE line = ? AND terminal = ? AND item = ?", key);
    if (r.empty()) {
        std::vector<Value> insert = key;
        insert.insert(insert.end(), values.begin(), values.end());
        db.Query("INSERT INTO sync_state (line, terminal, item, state, applied, error, failures, last_match, verified, "
                 "updated) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 insert);
    } else {
        db.Query("UPDATE sync_state SET state = ?, applied = ?, error = ?, failures = ?, last_match = ?, verified = ?, "
                 "updated = ? WHERE line = ? AND terminal = ? AND item = ?",
                 update);
    }
    tx.Commit();
}

void ForgetSync(Connection& db, const std::string& line, int terminal, const std::string& item) {
    db.Query("DELETE FROM sync_state WHERE line = ? AND terminal = ? AND item = ?",
             {line, static_cast<std::int64_t>(terminal), item});
}

}  // namespace talvo::service

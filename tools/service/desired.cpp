#include "desired.h"

#include <algorithm>

#include "store.h"
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

// A value as text: a JSON string, or a number written as it stands (1.5
// for "1.50"); anything else is not a text.
bool TextOf(const json& v, std::string& out) {
    if (v.is_string()) {
        out = v.get<std::string>();
        return true;
    }
    if (v.is_number()) {
        out = v.dump();
        return true;
    }
    return false;
}

bool Cents(const json& v, std::int32_t& out, std::string& error, const std::string& what) {
    std::string text;
    if (!TextOf(v, text)) {
        error = what + ": an amount such as \"12.50\"";
        return false;
    }
    const std::string why = cli::ParseCents(text, out);
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
                const std::string why = e[i].is_string() ? cli::ParseSubsidyEntry(e[i].get<std::string>(), entry)
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
            std::string why = v["time"].is_string() ? cli::ParseSubsidyTime(v["time"].get<std::string>(), time)
                                                    : "a text";
            if (!why.empty()) return error = "subsidy time: " + why, false;
        }
        out["time"] = time;
        return true;
    }
    if (item == "zones" || item == "attend_zones") {
        const bool attend = item == "attend_zones";
        if (!v.is_array() || v.empty() || v.size() > cli::kZones) {
            return error = item + ": a list of 1 to 8 " +
                           (attend ? "zones such as \"07:00-09:00/01\"" : "times of day such as \"07:00\""),
                   false;
        }
        out = json::array();
        for (std::size_t i = 0; i < cli::kZones; ++i) {
            std::string text = attend ? "00:00-00:00/00" : "00:00";
            if (i < v.size()) {
                if (!v[i].is_string()) return error = item + " " + std::to_string(i + 1) + ": a text", false;
                text = v[i].get<std::string>();
            }
            std::string why;
            if (attend) {
                cli::AttendZone z;
                why = cli::ParseAttendZone(text, z);
                text = cli::FormatTime(z.start) + "-" + cli::FormatTime(z.end) + "/" + z.code;
            } else {
                cli::TimeOfDay t;
                why = cli::ParseTimeOfDay(text, t);
                text = cli::FormatTime(t);
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
            const std::string why = it->is_string() ? cli::ParseReason(it->get<std::string>(), text) : "a text";
            if (!why.empty()) return error = "reason " + k + ": " + why, false;
            out[std::to_string(std::stoi(k))] = text;
        }
        return true;
    }
    if (item == "cmw" || item == "card_key") {
        std::string text, clean;
        if (!v.is_string()) return error = item + ": a text", false;
        const std::string why = item == "cmw" ? cli::ParseCmw(v.get<std::string>(), clean)
                                              : cli::ParseKey(v.get<std::string>(), clean);
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

bool ValidCard(const std::string& card) {
    std::string checked;
    return cli::ParseCard(card, checked).empty();
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

void WriteAudit(Connection& db, const Actor& who, const std::string& action, const std::string& detail) {
    db.Query("INSERT INTO audit (at, who, address, action, detail) VALUES (?, ?, ?, ?, ?)",
             {UtcNow(), who.name, who.address, action, detail});
}

ChangeResult SetItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                     const std::string& canonical, const Actor& who) {
    Transaction tx(db);
    const Rows r = db.Query("SELECT version FROM desired WHERE scope = ? AND item = ?", {scope, item});
    const std::int64_t current = r.empty() ? 0 : AsInt(r[0][0]);
    if (current != expected) {
        return {409, item + " of " + scope + " is at version " + std::to_string(current) + ", not " +
                         std::to_string(expected) + ": someone changed it meanwhile",
                current};
    }
    const std::string now = UtcNow();
    if (r.empty()) {
        db.Query("INSERT INTO desired (scope, item, version, value, changed_at, changed_by) VALUES (?, ?, 1, ?, ?, ?)",
                 {scope, item, canonical, now, who.name});
    } else {
        db.Query("UPDATE desired SET version = version + 1, value = ?, changed_at = ?, changed_by = ? "
                 "WHERE scope = ? AND item = ?",
                 {canonical, now, who.name, scope, item});
    }
    BumpGeneration(db);
    WriteAudit(db, who, "set " + item, scope + ": " + (FindItem(item)->secret ? std::string("(secret)") : canonical));
    tx.Commit();
    return {200, "", current + 1};
}

ChangeResult RemoveItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                        const Actor& who) {
    Transaction tx(db);
    const Rows r = db.Query("SELECT version FROM desired WHERE scope = ? AND item = ?", {scope, item});
    if (r.empty()) return {404, item + " is not kept for " + scope, 0};
    const std::int64_t current = AsInt(r[0][0]);
    if (current != expected) {
        return {409, item + " of " + scope + " is at version " + std::to_string(current) + ", not " +
                         std::to_string(expected) + ": someone changed it meanwhile",
                current};
    }
    db.Query("DELETE FROM desired WHERE scope = ? AND item = ?", {scope, item});
    if (item == "blacklist") db.Query("UPDATE blocked_cards SET blocked = 0 WHERE scope = ?", {scope});
    BumpGeneration(db);
    WriteAudit(db, who, "release " + item, scope + ": no longer kept by the service");
    tx.Commit();
    return {200, "", 0};
}

ChangeResult SetCardBlocked(Connection& db, const std::string& scope, const std::string& card, bool blocked,
                            const std::string& reason, std::optional<std::int64_t> expected, const Actor& who) {
    Transaction tx(db);
    const std::int64_t current = BlacklistVersion(db, scope);
    if (expected && *expected != current) {
        return {409, "the blacklist of " + scope + " is at version " + std::to_string(current) + ", not " +
                         std::to_string(*expected) + ": someone changed it meanwhile",
                current};
    }
    const Rows r = db.Query("SELECT blocked FROM blocked_cards WHERE scope = ? AND card = ?", {scope, card});
    const bool was = !r.empty() && AsInt(r[0][0]) == 1;
    if (!blocked && !was) return {404, "card " + card + " is not blocked for " + scope, current};
    if (blocked == was) return {200, "", current};  // nothing to change
    const std::string now = UtcNow();
    if (r.empty()) {
        db.Query("INSERT INTO blocked_cards (scope, card, blocked, reason, by_name, at) VALUES (?, ?, 1, ?, ?, ?)",
                 {scope, card, reason, who.name, now});
    } else {
        db.Query("UPDATE blocked_cards SET blocked = ?, reason = ?, by_name = ?, at = ? WHERE scope = ? AND card = ?",
                 {static_cast<std::int64_t>(blocked ? 1 : 0), reason, who.name, now, scope, card});
    }
    db.Query("INSERT INTO card_events (scope, card, action, reason, by_name, at) VALUES (?, ?, ?, ?, ?, ?)",
             {scope, card, std::string(blocked ? "block" : "unblock"), reason, who.name, now});
    if (current == 0) {
        db.Query("INSERT INTO desired (scope, item, version, value, changed_at, changed_by) "
                 "VALUES (?, 'blacklist', 1, '', ?, ?)",
                 {scope, now, who.name});
    } else {
        db.Query("UPDATE desired SET version = version + 1, changed_at = ?, changed_by = ? "
                 "WHERE scope = ? AND item = 'blacklist'",
                 {now, who.name, scope});
    }
    BumpGeneration(db);
    WriteAudit(db, who, blocked ? "block card" : "unblock card",
               scope + ": " + card + (reason.empty() ? "" : " (" + reason + ")"));
    tx.Commit();
    return {200, "", current + 1};
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

std::vector<BlockedCard> ListBlocked(Connection& db, const std::string& prefix, std::int64_t limit) {
    std::vector<BlockedCard> out;
    const Rows rows = prefix.empty()
                          ? db.Query("SELECT scope, card, reason, by_name, at, blocked FROM blocked_cards "
                                     "WHERE blocked = 1 ORDER BY at DESC, card LIMIT ?",
                                     {limit})
                          : db.Query("SELECT scope, card, reason, by_name, at, blocked FROM blocked_cards "
                                     "WHERE card LIKE ? ORDER BY card, scope LIMIT ?",
                                     {prefix + "%", limit});
    for (const Row& r : rows) {
        out.push_back({AsText(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsInt(r[5]) == 1});
    }
    return out;
}

std::vector<AuditRow> ListAudit(Connection& db, std::int64_t limit, std::int64_t offset) {
    std::vector<AuditRow> out;
    for (const Row& r : db.Query("SELECT id, at, who, address, action, detail FROM audit ORDER BY id DESC "
                                 "LIMIT ? OFFSET ?",
                                 {limit, offset})) {
        out.push_back({AsInt(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5])});
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

void SaveSync(Connection& db, const SyncRow& s) {
    const std::vector<Value> key{s.line, static_cast<std::int64_t>(s.terminal), s.item};
    std::vector<Value> values{s.state, s.applied, s.error, static_cast<std::int64_t>(s.failures),
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

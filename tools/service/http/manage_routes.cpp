// The interface to the desired state: read it and the terminals' sync state
// (any token), change it (an administrator's token), each change audited
// and handed to the line workers at once.
#include <httplib.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "manage/desired.h"
#include "http/api.h"
#include "http/common.h"
#include "http/server.h"
#include "log.h"

namespace talvo::service {
namespace {

using nlohmann::json;

constexpr std::size_t kReasonLength = 200;

// A card's or a change's reason: printable, one line, not too long.
bool ValidReason(const std::string& s) {
    return s.size() <= kReasonLength &&
           std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The request's JSON body as an object; a 400 otherwise.
bool Body(const httplib::Request& req, httplib::Response& res, json& body) {
    if (!JsonBody(req)) {
        Problem(res, 415, "the body must be JSON (Content-Type: application/json)");
        return false;
    }
    body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        Problem(res, 400, "the body must be a JSON object");
        return false;
    }
    return true;
}

// An optional whole number field; a 400 when it is something else.
bool Version(const json& body, const char* key, std::optional<std::int64_t>& out, httplib::Response& res) {
    if (!body.contains(key)) return true;
    if (!body[key].is_number_integer() || body[key].get<std::int64_t>() < 0) {
        Problem(res, 400, std::string(key) + ": the version the change was made from, a whole number");
        return false;
    }
    out = body[key].get<std::int64_t>();
    return true;
}

json ItemJson(const DesiredItem& i) {
    return json{{"scope", i.scope},
                {"item", i.item},
                {"version", i.version},
                {"value", InterfaceValue(i.item, i.value)},
                {"changed_at", i.changedAt},
                {"changed_by", i.changedBy}};
}

// The state shown for a terminal: failed over pending over in sync.
std::string Badge(const std::vector<const SyncRow*>& rows) {
    if (rows.empty()) return "unmanaged";
    std::string badge = "in_sync";
    for (const SyncRow* r : rows) {
        if (r->state == "failed") return "failed";
        if (r->state != "in_sync") badge = "pending";
    }
    return badge;
}

bool Holds(const SyncRow& row, const std::string& card) {
    if (row.applied.empty()) return false;
    const json cards = json::parse(row.applied, nullptr, false);
    return cards.is_array() && std::find(cards.begin(), cards.end(), card) != cards.end();
}

}  // namespace

std::span<const HttpApi::Route> HttpApi::ManageRouteTable() {
    static const Route routes[] = {
        {Route::kGet, "/api/desired", true, &HttpApi::GetDesired},
        {Route::kPut, R"(/api/desired/([A-Za-z0-9_.-]{1,32})/([a-z_]{1,32}))", false, &HttpApi::PutDesired},
        {Route::kDelete, R"(/api/desired/([A-Za-z0-9_.-]{1,32})/([a-z_]{1,32}))", false, &HttpApi::DeleteDesired},
        {Route::kPost, R"(/api/cards/([^/]{1,32})/(block|unblock))", false, &HttpApi::PostCard},
        {Route::kGet, "/api/cards", false, &HttpApi::GetCards},
        {Route::kGet, R"(/api/cards/([^/]{1,32}))", false, &HttpApi::GetCard},
        {Route::kGet, "/api/sync", true, &HttpApi::GetSync},
        {Route::kGet, "/api/audit", false, &HttpApi::GetAudit},
    };
    return routes;
}

bool HttpApi::KnownScope(const std::string& scope) {
    if (scope == kSiteScope) return true;
    std::lock_guard<std::mutex> hold(lock_);
    return std::find(groups_.begin(), groups_.end(), scope) != groups_.end();
}

void HttpApi::Changed() {
    if (syncNow_) syncNow_();
}

void HttpApi::GetDesired(const httplib::Request&, httplib::Response& res) {
    auto db = pool_.Get();
    const Desired d = LoadDesired(**db);
    json items = json::array();
    for (const auto& [key, i] : d.items) items.push_back(ItemJson(i));
    json blacklists = json::object();
    for (const auto& [scope, version] : d.blacklistVersions) {
        blacklists[scope] = json{{"version", version}, {"cards", d.blocked.count(scope) ? d.blocked.at(scope).size() : 0}};
    }
    json groups = json::object();
    std::lock_guard<std::mutex> hold(lock_);
    for (const LineConfig& l : config_.lines) {
        for (const TerminalConfig& t : l.terminals) {
            if (t.group.empty()) continue;
            groups[t.group].push_back(json{{"line", l.name}, {"terminal", t.number}, {"name", t.name}, {"kind", t.kind}});
        }
    }
    json names = json::array();
    for (const ItemInfo& i : Items()) names.push_back(json{{"item", i.name}, {"kind", i.kind}, {"read_back", i.readable}});
    Json(res, json{{"generation", d.generation}, {"items", items}, {"blacklists", blacklists}, {"groups", groups},
                   {"known_items", names}});
}

// Sets an item for the site or a group: {"version": N, "value": ...},
// N the version it was changed from (0 for an item not set yet).
void HttpApi::PutDesired(const httplib::Request& req, httplib::Response& res) {
    const auto who = Administrator(req, res);
    if (!who) return;
    const std::string scope = req.matches[1], item = req.matches[2];
    if (!KnownScope(scope)) return Problem(res, 404, "no group '" + scope + "' in the configuration");
    if (FindItem(item) == nullptr) return Problem(res, 404, "no item '" + item + "'");
    json body;
    if (!Body(req, res, body)) return;
    std::optional<std::int64_t> version;
    if (!Version(body, "version", version, res)) return;
    if (!version) return Problem(res, 400, "version: the version the change was made from (0 for a new item)");
    if (!body.contains("value")) return Problem(res, 400, "value: the item's new value");
    std::string canonical, error;
    if (KeepsSecret(item, body["value"])) {
        // Written back as read: what is stored stays (its version
        // is checked all the same).
        auto db = pool_.Get();
        const Desired d = LoadDesired(**db);
        const auto it = d.items.find({scope, item});
        if (it == d.items.end()) return Problem(res, 400, item + ": not set for " + scope + "; give its value");
        canonical = it->second.value;
    } else if (!CanonicalValue(item, body["value"], canonical, error)) {
        return Problem(res, 400, error);
    }
    const ChangeResult r = Change([&](Connection& db) {
        return SetItem(db, scope, item, *version, canonical, {who->name, req.remote_addr});
    });
    if (r.status != 200) return Json(res, json{{"error", r.error}, {"version", r.version}}, r.status);
    Log(Level::kInfo, "desired-set", {{"scope", scope}, {"item", item}, {"by", who->name}});
    Changed();
    Json(res, json{{"scope", scope}, {"item", item}, {"version", r.version}});
}

void HttpApi::DeleteDesired(const httplib::Request& req, httplib::Response& res) {
    const auto who = Administrator(req, res);
    if (!who) return;
    const std::string scope = req.matches[1], item = req.matches[2];
    if (!KnownScope(scope)) return Problem(res, 404, "no group '" + scope + "' in the configuration");
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) return Problem(res, 400, error);
    const auto v = params.find("version");
    if (v == params.end() || v->second.empty() || v->second.size() > 18 ||
        !std::all_of(v->second.begin(), v->second.end(), ::isdigit)) {
        return Problem(res, 400, "version: the version the item is released from (?version=N)");
    }
    const ChangeResult r = Change([&](Connection& db) {
        return RemoveItem(db, scope, item, std::stoll(v->second), {who->name, req.remote_addr});
    });
    if (r.status != 200) return Json(res, json{{"error", r.error}, {"version", r.version}}, r.status);
    Changed();
    Json(res, json{{"scope", scope}, {"item", item}, {"released", true}});
}

// Blocks or unblocks a card: {"reason": "...", "scope": "site",
// "version": N (optional: the blacklist's version it was decided on)}.
void HttpApi::PostCard(const httplib::Request& req, httplib::Response& res) {
    const auto who = Administrator(req, res);
    if (!who) return;
    const std::string card = req.matches[1];
    const bool block = req.matches[2] == "block";
    if (!ValidCard(card)) return Problem(res, 400, "card: exactly six digits");
    json body = json::object();
    if (!JsonBody(req)) return Problem(res, 415, "the body must be JSON (Content-Type: application/json)");
    if (!req.body.empty() && !Body(req, res, body)) return;
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (it.key() != "reason" && it.key() != "scope" && it.key() != "version") {
            return Problem(res, 400, "unknown field '" + it.key() + "' (reason, scope, version)");
        }
    }
    std::string reason, scope = kSiteScope;
    if (body.contains("reason")) {
        if (!body["reason"].is_string() || !ValidReason(body["reason"].get<std::string>())) {
            return Problem(res, 400, "reason: one line of text, at most 200 characters");
        }
        reason = body["reason"].get<std::string>();
    }
    if (body.contains("scope")) {
        if (!body["scope"].is_string()) return Problem(res, 400, "scope: \"site\" or a group's name");
        scope = body["scope"].get<std::string>();
    }
    if (!KnownScope(scope)) return Problem(res, 404, "no group '" + scope + "' in the configuration");
    std::optional<std::int64_t> version;
    if (!Version(body, "version", version, res)) return;
    const ChangeResult r = Change([&](Connection& db) {
        return SetCardBlocked(db, scope, card, block, reason, version, {who->name, req.remote_addr});
    });
    if (r.status != 200) return Json(res, json{{"error", r.error}, {"version", r.version}}, r.status);
    Log(Level::kInfo, block ? "card-blocked" : "card-unblocked",
        {{"card", card}, {"scope", scope}, {"by", who->name}});
    Changed();
    Json(res, json{{"card", card}, {"scope", scope}, {"blocked", block}, {"version", r.version}});
}

// Blocked cards newest first, or every card whose number starts with
// ?q=; a page of them (?limit=, ?offset=) and how many there are.
void HttpApi::GetCards(const httplib::Request& req, httplib::Response& res) {
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) return Problem(res, 400, error);
    std::string prefix;
    std::int64_t limit = 100, offset = 0;
    for (const auto& [k, v] : params) {
        if (k == "q") {
            if (v.size() > 6 || !std::all_of(v.begin(), v.end(), ::isdigit)) {
                return Problem(res, 400, "q: the first digits of a card number");
            }
            prefix = v;
            continue;
        }
        const bool number = !v.empty() && v.size() <= 9 && std::all_of(v.begin(), v.end(), ::isdigit);
        if (k != "limit" && k != "offset") return Problem(res, 400, "unknown parameter '" + k + "' (q, limit, offset)");
        if (!number) return Problem(res, 400, k + ": a whole number");
        (k == "limit" ? limit : offset) = std::stoll(v);
    }
    if (limit < 1 || limit > 1000) return Problem(res, 400, "limit: 1 to 1000");
    auto db = pool_.Get();
    const BlockedPage page = ListBlocked(**db, prefix, limit, offset);
    json cards = json::array();
    for (const BlockedCard& c : page.cards) {
        cards.push_back(json{{"scope", c.scope}, {"card", c.card}, {"blocked", c.blocked}, {"reason", c.reason},
                             {"by", c.by}, {"at", c.at}});
    }
    Json(res, json{{"total", page.total}, {"limit", limit}, {"offset", offset}, {"cards", cards}});
}

// One card: where it is blocked, its history, and on which terminals it
// is applied: every terminal whose blacklist the service keeps, from
// the moment of the change (one not reached yet is pending).
void HttpApi::GetCard(const httplib::Request& req, httplib::Response& res) {
    const std::string card = req.matches[1];
    if (!ValidCard(card)) return Problem(res, 400, "card: exactly six digits");
    auto db = pool_.Get();
    const Desired d = LoadDesired(**db);
    json scopes = json::array();
    for (const BlockedCard& c : ListBlocked(**db, card, 100).cards) {
        if (c.card == card && c.blocked) {
            scopes.push_back(json{{"scope", c.scope}, {"reason", c.reason}, {"by", c.by}, {"at", c.at}});
        }
    }
    json history = json::array();
    for (const CardEvent& e : CardHistory(**db, card)) {
        history.push_back(json{{"scope", e.scope}, {"action", e.action}, {"reason", e.reason}, {"by", e.by},
                               {"at", e.at}});
    }
    std::map<std::pair<std::string, int>, const SyncRow*> rows;
    const std::vector<SyncRow> sync = ListSync(**db);
    for (const SyncRow& row : sync) {
        if (row.item == "blacklist") rows[{row.line, row.terminal}] = &row;
    }
    json terminals = json::array();
    auto one = [&](const std::string& line, int number, const TerminalConfig* t) {
        const auto found = rows.find({line, number});
        const SyncRow* row = found != rows.end() ? found->second : nullptr;
        const auto want = d.For(t != nullptr ? t->kind : "payment", t != nullptr ? t->group : "");
        const auto list = want.find("blacklist");
        if (list == want.end() && row == nullptr) return;  // not kept there
        const bool wanted = list != want.end() && list->second.find("\"" + card + "\"") != std::string::npos;
        const bool held = row != nullptr && Holds(*row, card);
        const std::string state = wanted == held ? (wanted ? "applied" : "absent")
                                  : row != nullptr && row->state == "failed" ? "failed"
                                                                               : "pending";
        terminals.push_back(json{{"line", line},
                                 {"terminal", number},
                                 {"name", t != nullptr ? json(t->name) : json(nullptr)},
                                 {"wanted", wanted},
                                 {"state", state},
                                 {"error", row != nullptr ? Optional(row->error) : json(nullptr)},
                                 {"last_match", row != nullptr ? Optional(row->lastMatch) : json(nullptr)}});
        rows.erase({line, number});
    };
    std::lock_guard<std::mutex> hold(lock_);
    for (const LineConfig& l : config_.lines) {
        for (const TerminalConfig& t : l.terminals) {
            if (t.kind == "payment") one(l.name, t.number, &t);
        }
    }
    // Terminals of other services on the same database.
    const auto others = rows;
    for (const auto& [key, row] : others) one(key.first, key.second, nullptr);
    std::sort(terminals.begin(), terminals.end(), [](const json& x, const json& y) {
        return std::make_pair(x["line"].get<std::string>(), x["terminal"].get<int>()) <
               std::make_pair(y["line"].get<std::string>(), y["terminal"].get<int>());
    });
    Json(res, json{{"card", card}, {"blocked", scopes}, {"history", history}, {"terminals", terminals}});
}

// Per terminal and item: in sync, pending or failed, and when it last
// held what is wanted.
void HttpApi::GetSync(const httplib::Request&, httplib::Response& res) {
    auto db = pool_.Get();
    const std::vector<SyncRow> rows = ListSync(**db);
    std::map<std::pair<std::string, int>, std::vector<const SyncRow*>> by;
    for (const SyncRow& r : rows) by[{r.line, r.terminal}].push_back(&r);
    json terminals = json::array();
    std::lock_guard<std::mutex> hold(lock_);
    auto one = [&](const std::string& line, int number, const TerminalConfig* t) {
        const auto& mine = by[{line, number}];
        json items = json::array();
        for (const SyncRow* r : mine) {
            items.push_back(json{{"item", r->item},
                                 {"state", r->state},
                                 {"error", Optional(r->error)},
                                 {"failures", r->failures},
                                 {"last_match", Optional(r->lastMatch)},
                                 {"verified", Optional(r->verified)},
                                 {"updated", Optional(r->updated)}});
        }
        terminals.push_back(json{{"line", line},
                                 {"terminal", number},
                                 {"name", t != nullptr ? json(t->name) : json(nullptr)},
                                 {"kind", t != nullptr ? json(t->kind) : json(nullptr)},
                                 {"group", t != nullptr && !t->group.empty() ? json(t->group) : json(nullptr)},
                                 {"badge", Badge(mine)},
                                 {"items", items}});
    };
    std::set<std::pair<std::string, int>> shown;
    for (const LineConfig& l : config_.lines) {
        for (const TerminalConfig& t : l.terminals) {
            one(l.name, t.number, &t);
            shown.insert({l.name, t.number});
        }
    }
    // Terminals of other services on the same database.
    for (const auto& [key, mine] : by) {
        if (!shown.count(key)) one(key.first, key.second, nullptr);
    }
    Json(res, json{{"terminals", terminals}});
}

void HttpApi::GetAudit(const httplib::Request& req, httplib::Response& res) {
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) return Problem(res, 400, error);
    std::int64_t limit = 100, offset = 0;
    for (const auto& [k, v] : params) {
        const bool number = !v.empty() && v.size() <= 9 && std::all_of(v.begin(), v.end(), ::isdigit);
        if ((k != "limit" && k != "offset") || !number) {
            return Problem(res, 400, "limit (1 to 1000) and offset, whole numbers");
        }
        (k == "limit" ? limit : offset) = std::stoll(v);
    }
    if (limit < 1 || limit > 1000) return Problem(res, 400, "limit: 1 to 1000");
    auto db = pool_.Get();
    json rows = json::array();
    for (const AuditRow& a : ListAudit(**db, limit, offset)) {
        rows.push_back(json{{"id", a.id}, {"at", a.at}, {"who", a.who}, {"address", a.address},
                            {"action", a.action}, {"detail", a.detail}, {"outcome", a.outcome}});
    }
    Json(res, json{{"audit", rows}});
}

}  // namespace talvo::service

// The interface to the day's report, the cardholders and the attendance
// hours: reading them takes any token, changing the cardholders an
// administrator's (audited).
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "db/attendance.h"
#include "db/cardholders.h"
#include "db/queries.h"
#include "db/report.h"
#include "http/api.h"
#include "http/common.h"
#include "log.h"

namespace talvo::service {
namespace {

using nlohmann::json;

// The query's parameters, each at most once and among `allowed`; a 400
// otherwise.
bool Params(const httplib::Request& req, httplib::Response& res, const std::vector<std::string>& allowed,
            std::map<std::string, std::string>& out) {
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) {
        Problem(res, 400, error);
        return false;
    }
    for (const auto& [name, value] : params) {
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
            Problem(res, 400, "unknown parameter '" + name.substr(0, 64) + "'");
            return false;
        }
        if (!out.emplace(name, value).second) {
            Problem(res, 400, "parameter '" + name + "' given more than once");
            return false;
        }
    }
    return true;
}

// ?date= or ?from=&to= (one of them alone: that day); today without any.
bool Period(std::map<std::string, std::string>& p, httplib::Response& res, std::string& from, std::string& to) {
    if (p.count("date") != 0 && (p.count("from") != 0 || p.count("to") != 0)) {
        Problem(res, 400, "date, or from and to, not both");
        return false;
    }
    from = p.count("date") ? p["date"] : p.count("from") ? p["from"] : p.count("to") ? p["to"] : LocalToday();
    to = p.count("date") ? p["date"] : p.count("to") ? p["to"] : from;
    if (!ValidDate(from) || !ValidDate(to)) {
        Problem(res, 400, "dates are YYYY-MM-DD");
        return false;
    }
    if (from > to) {
        Problem(res, 400, "from is after to");
        return false;
    }
    // A period of years would hold the request thread for long.
    if (AddDays(from, 366) < to) {
        Problem(res, 400, "a period of at most 366 days");
        return false;
    }
    return true;
}

std::string Format(std::map<std::string, std::string>& p, const std::vector<std::string>& allowed,
                   httplib::Response& res) {
    const std::string f = p.count("format") ? p["format"] : "json";
    if (std::find(allowed.begin(), allowed.end(), f) != allowed.end()) return f;
    std::string list;
    for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
    Problem(res, 400, "format: " + list);
    return "";
}

json FiguresJson(const Figures& f) {
    return json{{"records", f.records},          {"sum_cents", f.sumCents},
                {"sales", f.sales},              {"takings_cents", f.takingsCents},
                {"deposits", f.deposits},        {"deposit_cents", f.depositCents},
                {"subsidies", f.subsidies},      {"subsidy_cents", f.subsidyCents},
                {"rejected", f.rejected},        {"first_sale", Optional(f.firstSale)},
                {"last_sale", Optional(f.lastSale)}};
}

json HolderJson(const Cardholder& c) {
    return json{{"card", c.card},
                {"name", c.name},
                {"staff_number", c.staffNumber},
                {"department", c.department},
                {"valid_from", Optional(c.validFrom)},
                {"valid_until", Optional(c.validUntil)}};
}

// A cardholder from the interface's JSON; "" when sound, else why not.
std::string HolderFromJson(const json& j, Cardholder& c) {
    if (!j.is_object()) return "each cardholder is an object";
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& k = it.key();
        if (k != "card" && k != "name" && k != "staff_number" && k != "department" && k != "valid_from" &&
            k != "valid_until") {
            return "unknown field '" + k.substr(0, 32) + "'";
        }
        if (!it->is_string() && !it->is_null()) return k + ": a text";
    }
    auto text = [&](const char* k) { return j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : ""; };
    c = {text("card"), text("name"), text("staff_number"), text("department"), text("valid_from"), text("valid_until")};
    return CardholderProblem(c);
}

}  // namespace

std::span<const HttpApi::Route> HttpApi::ReportRouteTable() {
    static const Route routes[] = {
        {Route::kGet, "/api/reports/day", false, &HttpApi::GetDayReport},
        {Route::kGet, "/api/cardholders", false, &HttpApi::GetCardholders},
        {Route::kPut, "/api/cardholders", false, &HttpApi::PutCardholders},
        {Route::kDelete, R"(/api/cardholders/([A-Za-z0-9]{6}))", true, &HttpApi::DeleteCardholder},
        {Route::kGet, "/api/attendance", false, &HttpApi::GetAttendance},
    };
    return routes;
}

void HttpApi::GetDayReport(const httplib::Request& req, httplib::Response& res) {
    std::map<std::string, std::string> p;
    if (!Params(req, res, {"date", "from", "to", "format"}, p)) return;
    std::string from, to;
    if (!Period(p, res, from, to)) return;
    const std::string format = Format(p, {"json", "csv", "html"}, res);
    if (format.empty()) return;
    Config config;
    std::string currency;
    {
        std::lock_guard<std::mutex> hold(lock_);
        config.lines = config_.lines;
        currency = currency_;
    }
    auto db = pool_.Get();
    const Report r = BuildReport(**db, from, to, SiteTerminals(**db, &config));
    const std::string name = "report-" + from + (from == to ? "" : "-to-" + to);
    if (format == "csv") {
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + ".csv\"");
        return res.set_content(ReportCsv(r), "text/csv; charset=utf-8");
    }
    if (format == "html") {
        // Complete in itself: its style is inline, and it runs nothing.
        res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
        return res.set_content(ReportHtml(r, config_.host, currency), "text/html; charset=utf-8");
    }
    auto rows = [](const std::vector<ReportRow>& list) {
        json out = json::array();
        for (const ReportRow& row : list) {
            json j = FiguresJson(row.figures);
            if (!row.line.empty()) j["line"] = row.line;
            if (row.terminal >= 0) j["terminal"] = row.terminal;
            j["name"] = row.name;
            if (!row.group.empty()) j["group"] = row.group;
            out.push_back(std::move(j));
        }
        return out;
    };
    json silent = json::array();
    for (const ReportTerminal& t : r.silent) silent.push_back(json{{"line", t.line}, {"terminal", t.number}, {"name", t.name}});
    Json(res, json{{"from", from},
                   {"to", to},
                   {"currency", Optional(currency)},
                   {"terminals", rows(r.terminals)},
                   {"lines", rows(r.lines)},
                   {"groups", rows(r.groups)},
                   {"site", FiguresJson(r.site)},
                   {"silent", silent}});
}

void HttpApi::GetCardholders(const httplib::Request& req, httplib::Response& res) {
    std::map<std::string, std::string> p;
    if (!Params(req, res, {"q", "limit", "offset", "format"}, p)) return;
    const std::string format = Format(p, {"json", "csv"}, res);
    if (format.empty()) return;
    auto number = [&](const char* k, std::int64_t fallback, std::int64_t high, std::int64_t& out) {
        if (p.count(k) == 0) return out = fallback, true;
        const std::string& v = p[k];
        if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string::npos) return false;
        out = std::stoll(v);
        return out <= high;
    };
    std::int64_t limit = 0, offset = 0;
    if (!number("limit", format == "csv" ? 1'000'000 : 100, format == "csv" ? 1'000'000 : kMaxPage, limit) || limit < 1) {
        return Problem(res, 400, "limit: a number from 1 to " + std::to_string(kMaxPage));
    }
    if (!number("offset", 0, 1'000'000'000, offset)) return Problem(res, 400, "offset: a number");
    const std::string q = p.count("q") ? p["q"] : "";
    if (q.size() > 64) return Problem(res, 400, "q: at most 64 characters");
    auto db = pool_.Get();
    const std::vector<Cardholder> list = ListCardholders(**db, q, limit, offset);
    if (format == "csv") {
        res.set_header("Content-Disposition", "attachment; filename=\"cardholders.csv\"");
        return res.set_content(CardholdersCsv(list), "text/csv; charset=utf-8");
    }
    json rows = json::array();
    for (const Cardholder& c : list) rows.push_back(HolderJson(c));
    Json(res, json{{"cardholders", rows}, {"limit", limit}, {"offset", offset}});
}

// A CSV file as `talvod db cardholders import` reads it (Content-Type
// text/csv; ?replace=true removes the cardholders it does not name), or
// JSON {"cardholders": [{"card": ..., "name": ...}], "replace": false}.
void HttpApi::PutCardholders(const httplib::Request& req, httplib::Response& res) {
    const auto who = Administrator(req, res);
    if (!who) return;
    std::map<std::string, std::string> p;
    if (!Params(req, res, {"replace"}, p)) return;
    bool replace = false;
    if (p.count("replace")) {
        if (p["replace"] != "true" && p["replace"] != "false") return Problem(res, 400, "replace: true or false");
        replace = p["replace"] == "true";
    }
    std::vector<Cardholder> rows;
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("text/csv", 0) == 0) {
        std::string error;
        if (!ParseCardholdersCsv(req.body, rows, error)) return Problem(res, 400, error + "; nothing imported");
    } else if (JsonBody(req) && !req.body.empty()) {
        const json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("cardholders") || !body["cardholders"].is_array()) {
            return Problem(res, 400, "the body: {\"cardholders\": [...], \"replace\": false}");
        }
        for (auto it = body.begin(); it != body.end(); ++it) {
            if (it.key() != "cardholders" && it.key() != "replace") {
                return Problem(res, 400, "unknown field '" + it.key().substr(0, 32) + "' (cardholders, replace)");
            }
        }
        if (body.contains("replace")) {
            if (!body["replace"].is_boolean()) return Problem(res, 400, "replace: true or false");
            replace = replace || body["replace"].get<bool>();
        }
        std::set<std::string> cards;
        for (std::size_t i = 0; i < body["cardholders"].size(); ++i) {
            Cardholder c;
            const std::string problem = HolderFromJson(body["cardholders"][i], c);
            const std::string where = "cardholders[" + std::to_string(i) + "]: ";
            if (!problem.empty()) return Problem(res, 400, where + problem + "; nothing imported");
            if (!cards.insert(c.card).second) return Problem(res, 400, where + "card " + c.card + " twice");
            rows.push_back(std::move(c));
        }
    } else {
        return Problem(res, 415, "the body is a CSV file (Content-Type: text/csv) or JSON (application/json)");
    }
    ImportCount n;
    Change([&](Connection& db) {
        n = ImportCardholders(db, rows, replace);
        WriteAudit(db, {who->name, req.remote_addr}, replace ? "cardholders replace" : "cardholders import",
                   std::to_string(rows.size()) + " in the file: " + std::to_string(n.added) + " added, " +
                       std::to_string(n.changed) + " changed, " + std::to_string(n.removed) + " removed");
        return ChangeResult{};
    });
    Log(Level::kInfo, "cardholders-imported", {{"by", who->name}, {"added", std::to_string(n.added)},
                                               {"changed", std::to_string(n.changed)},
                                               {"removed", std::to_string(n.removed)}});
    Json(res, json{{"added", n.added}, {"changed", n.changed}, {"unchanged", n.unchanged}, {"removed", n.removed}});
}

void HttpApi::DeleteCardholder(const httplib::Request& req, httplib::Response& res) {
    const auto who = Administrator(req, res);
    if (!who) return;
    const std::string card = req.matches[1];
    bool there = false;
    Change([&](Connection& db) {
        there = RemoveCardholder(db, card);
        if (there) WriteAudit(db, {who->name, req.remote_addr}, "cardholder remove", card);
        return ChangeResult{};
    });
    if (!there) return Problem(res, 404, "no cardholder for card " + card);
    Json(res, json{{"card", card}, {"removed", true}});
}

void HttpApi::GetAttendance(const httplib::Request& req, httplib::Response& res) {
    std::map<std::string, std::string> p;
    if (!Params(req, res, {"date", "from", "to", "format"}, p)) return;
    std::string from, to;
    if (!Period(p, res, from, to)) return;
    const std::string format = Format(p, {"json", "csv"}, res);
    if (format.empty()) return;
    Config config;
    {
        std::lock_guard<std::mutex> hold(lock_);
        config.lines = config_.lines;
    }
    auto db = pool_.Get();
    const std::vector<AttendanceDay> days = Attendance(**db, from, to, SiteTerminals(**db, &config));
    if (format == "csv") {
        res.set_header("Content-Disposition", "attachment; filename=\"attendance-" + from + "-to-" + to + ".csv\"");
        return res.set_content(AttendanceCsv(days), "text/csv; charset=utf-8");
    }
    json out = json::array();
    for (const AttendanceDay& d : days) {
        json pairs = json::array();
        for (const auto& [in, o] : d.pairs) pairs.push_back(json{{"in", in}, {"out", o}});
        out.push_back(json{{"card", d.card},
                           {"name", Optional(d.name)},
                           {"staff_number", Optional(d.staffNumber)},
                           {"department", Optional(d.department)},
                           {"day", d.day},
                           {"first_in", Optional(d.FirstIn())},
                           {"last_out", Optional(d.LastOut())},
                           {"pairs", pairs},
                           {"punches", d.punches},
                           {"minutes", d.minutes},
                           {"hours", Hours(d.minutes)},
                           {"unpaired", d.odd}});
    }
    Json(res, json{{"from", from}, {"to", to}, {"days", out}});
}

}  // namespace talvo::service

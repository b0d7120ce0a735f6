#include "db/report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "db/csv.h"
#include "db/queries.h"
#include "values.h"

namespace talvo::service {
namespace {

std::string Html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::tm Midnight(const std::string& date) {
    std::tm tm{};
    tm.tm_year = std::stoi(date.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(date.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(date.substr(8, 2));
    tm.tm_isdst = -1;
    return tm;
}

std::string DateText(const std::tm& tm) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

const char* kCsvHeader =
    "level,line,terminal,name,group,records,sum,sales,takings,deposits,deposits_sum,subsidies,subsidies_sum,"
    "rejected,first_sale,last_sale\r\n";

std::string CsvRow(const std::string& level, const ReportRow& r) {
    const Figures& f = r.figures;
    return level + "," + CsvText(r.line) + "," + (r.terminal >= 0 ? std::to_string(r.terminal) : "") + "," +
           CsvText(r.name) + "," + CsvText(r.group) + "," + std::to_string(f.records) + "," + common::FormatCents(f.sumCents) +
           "," + std::to_string(f.sales) + "," + common::FormatCents(f.takingsCents) + "," + std::to_string(f.deposits) + "," +
           common::FormatCents(f.depositCents) + "," + std::to_string(f.subsidies) + "," + common::FormatCents(f.subsidyCents) + "," +
           std::to_string(f.rejected) + "," + f.firstSale + "," + f.lastSale + "\r\n";
}

std::string HtmlRow(const std::string& first, const std::string& second, const Figures& f, bool total = false) {
    auto cell = [](const std::string& s) { return "<td class=\"n\">" + Html(s) + "</td>"; };
    return std::string(total ? "<tr class=\"total\">" : "<tr>") + "<td>" + Html(first) + "</td><td>" + Html(second) +
           "</td>" + cell(std::to_string(f.sales)) + cell(common::FormatCents(f.takingsCents)) + cell(std::to_string(f.deposits)) +
           cell(common::FormatCents(f.depositCents)) + cell(std::to_string(f.subsidies)) + cell(common::FormatCents(f.subsidyCents)) +
           cell(std::to_string(f.rejected)) + "<td>" + Html(f.firstSale.size() > 11 ? f.firstSale.substr(11) : "") +
           "</td><td>" + Html(f.lastSale.size() > 11 ? f.lastSale.substr(11) : "") + "</td></tr>\n";
}

std::string HtmlTable(const std::string& title, const std::string& first, const std::string& second,
                      const std::string& rows) {
    return "<h2>" + Html(title) + "</h2>\n<table><thead><tr><th>" + Html(first) + "</th><th>" + Html(second) +
           "</th><th>Sales</th><th>Takings</th><th>Deposits</th><th>Deposited</th><th>Subsidies</th>"
           "<th>Subsidised</th><th>Rejected</th><th>First sale</th><th>Last sale</th></tr></thead>\n<tbody>\n" +
           rows + "</tbody></table>\n";
}

}  // namespace

void Figures::Add(const Figures& o) {
    records += o.records;
    sumCents += o.sumCents;
    sales += o.sales;
    takingsCents += o.takingsCents;
    deposits += o.deposits;
    depositCents += o.depositCents;
    subsidies += o.subsidies;
    subsidyCents += o.subsidyCents;
    rejected += o.rejected;
    if (!o.firstSale.empty() && (firstSale.empty() || o.firstSale < firstSale)) firstSale = o.firstSale;
    if (o.lastSale > lastSale) lastSale = o.lastSale;
}

bool ValidDate(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    if (s < "1970-01-01" || s > "2099-12-31") return false;
    std::tm tm = Midnight(s);
    tm.tm_hour = 12;  // clear of a change of summer time at midnight
    std::mktime(&tm);
    return DateText(tm) == s;
}

std::string AddDays(const std::string& date, int days) {
    std::tm tm = Midnight(date);
    tm.tm_hour = 12;
    tm.tm_mday += days;
    std::mktime(&tm);
    return DateText(tm);
}

std::string LocalMidnightUtc(const std::string& date) {
    std::tm tm = Midnight(date);
    const std::time_t t = std::mktime(&tm);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::vector<ReportTerminal> SiteTerminals(Connection& db, const Config* config) {
    std::map<std::pair<std::string, int>, ReportTerminal> all;
    for (const Row& r : db.Query("SELECT line, number, kind, name FROM terminals")) {
        ReportTerminal t{AsText(r[0]), static_cast<int>(AsInt(r[1])), AsText(r[3]), AsText(r[2]), ""};
        all[{t.line, t.number}] = t;
    }
    if (config != nullptr) {
        for (const LineConfig& l : config->lines) {
            for (const TerminalConfig& c : l.terminals) {
                ReportTerminal& t = all[{l.name, c.number}];
                t.line = l.name;
                t.number = c.number;
                t.kind = c.kind;
                t.group = c.group;
                if (!c.name.empty()) t.name = c.name;
            }
        }
    }
    std::vector<ReportTerminal> out;
    for (auto& [key, t] : all) out.push_back(std::move(t));
    return out;
}

Report BuildReport(Connection& db, const std::string& from, const std::string& to,
                   const std::vector<ReportTerminal>& terminals) {
    Report report;
    report.from = from;
    report.to = to;
    std::map<std::pair<std::string, int>, const ReportTerminal*> known;
    for (const ReportTerminal& t : terminals) known[{t.line, t.number}] = &t;
    auto attendance = [&](const std::string& line, int number) {
        const auto it = known.find({line, number});
        return it != known.end() && it->second->kind == "attendance";
    };

    std::map<std::pair<std::string, int>, Figures> per;
    // One pass over the period's records; the day condition uses the index.
    for (const Row& r : db.Query("SELECT line, terminal, type, COUNT(*), COALESCE(SUM(amount_cents), 0), MIN(at), MAX(at)"
                                 " FROM records WHERE day >= ? AND day <= ? GROUP BY line, terminal, type",
                                 {from, to})) {
        const std::string line = AsText(r[0]);
        const int number = static_cast<int>(AsInt(r[1]));
        if (attendance(line, number)) continue;
        Figures& f = per[{line, number}];
        const std::int64_t count = AsInt(r[3]), sum = AsInt(r[4]);
        f.records += count;
        f.sumCents += sum;
        switch (AsInt(r[2])) {
            case 5:
                f.sales += count;
                f.takingsCents -= sum;
                f.firstSale = AsText(r[5]);
                f.lastSale = AsText(r[6]);
                break;
            case 13:
                f.deposits += count;
                f.depositCents += sum;
                break;
            case 14:
                f.subsidies += count;
                f.subsidyCents += sum;
                break;
            default: break;
        }
    }
    // Rejected raw records carry no time of their own: counted by when
    // they were stored, in this host's days.
    for (const Row& r : db.Query("SELECT line, terminal, COUNT(*) FROM rejected WHERE stored_at >= ? AND stored_at < ?"
                                 " GROUP BY line, terminal",
                                 {LocalMidnightUtc(from), LocalMidnightUtc(AddDays(to, 1))})) {
        const std::string line = AsText(r[0]);
        const int number = static_cast<int>(AsInt(r[1]));
        if (attendance(line, number)) continue;
        per[{line, number}].rejected += AsInt(r[2]);
    }

    std::map<std::string, Figures> lines, groups;
    for (const ReportTerminal& t : terminals) {
        if (t.kind == "attendance") continue;
        const auto it = per.find({t.line, t.number});
        if (it == per.end() || it->second.records == 0) report.silent.push_back(t);
        if (it == per.end()) per[{t.line, t.number}];
    }
    for (const auto& [key, f] : per) {
        const auto it = known.find(key);
        ReportRow row{key.first, key.second, it != known.end() ? it->second->name : "",
                      it != known.end() ? it->second->group : "", f};
        report.terminals.push_back(row);
        lines[key.first].Add(f);
        if (!row.group.empty()) groups[row.group].Add(f);
        report.site.Add(f);
    }
    for (const auto& [name, f] : lines) report.lines.push_back({name, -1, name, "", f});
    for (const auto& [name, f] : groups) report.groups.push_back({"", -1, name, name, f});
    return report;
}

std::string ReportCsv(const Report& r) {
    std::string out = kCsvHeader;
    for (const ReportRow& row : r.terminals) out += CsvRow("terminal", row);
    for (const ReportRow& row : r.lines) out += CsvRow("line", row);
    for (const ReportRow& row : r.groups) out += CsvRow("group", row);
    out += CsvRow("site", {"", -1, "", "", r.site});
    return out;
}

std::string ReportHtml(const Report& r, const std::string& site, const std::string& currency) {
    const std::string period = r.from == r.to ? r.from : r.from + " to " + r.to;
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>Report " + Html(period) + "</title>\n<style>\n"
        "body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#111}\n"
        "h1{font-size:1.4em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.4em 0 .4em}\n"
        "table{border-collapse:collapse;width:100%}th,td{border-bottom:1px solid #ccc;padding:.25em .5em;text-align:left}\n"
        "td.n,th:nth-child(n+3){text-align:right}tr.total td{font-weight:bold;border-top:2px solid #111}\n"
        ".meta{color:#555}\n"
        "@media print{body{margin:0;font-size:10pt}@page{size:A4 landscape;margin:12mm}"
        "table{page-break-inside:auto}tr{page-break-inside:avoid}thead{display:table-header-group}"
        "h2{page-break-after:avoid}}\n"
        "</style></head><body>\n<h1>Report " + Html(period) + "</h1>\n<p class=\"meta\">" + Html(site) +
        (currency.empty() ? "" : " &middot; amounts in " + Html(currency)) + "</p>\n";
    std::string rows;
    for (const ReportRow& t : r.terminals) rows += HtmlRow(t.line + " " + std::to_string(t.terminal), t.name, t.figures);
    rows += HtmlRow("Site", "", r.site, true);
    out += HtmlTable("Terminals", "Terminal", "Name", rows);
    rows.clear();
    for (const ReportRow& l : r.lines) rows += HtmlRow(l.name, "", l.figures);
    out += HtmlTable("Lines", "Line", "", rows);
    if (!r.groups.empty()) {
        rows.clear();
        for (const ReportRow& g : r.groups) rows += HtmlRow(g.name, "", g.figures);
        out += HtmlTable("Groups", "Group", "", rows);
    }
    out += "<h2>Silent terminals</h2>\n";
    if (r.silent.empty()) {
        out += "<p>Every payment terminal handed over records.</p>\n";
    } else {
        out += "<ul class=\"silent\">\n";
        for (const ReportTerminal& t : r.silent) {
            out += "<li>" + Html(t.line + " " + std::to_string(t.number) + (t.name.empty() ? "" : " (" + t.name + ")")) +
                   "</li>\n";
        }
        out += "</ul>\n";
    }
    out += "</body></html>\n";
    return out;
}

}  // namespace talvo::service

#include "db/db_cli_ops.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "db/attendance.h"
#include "db/cardholders.h"
#include "db/database.h"
#include "db/queries.h"
#include "db/report.h"
#include "values.h"

namespace talvo::service {
namespace {

struct OpsOptions {
    std::string day, from, to, format = "text", file;
    bool replace = false;
};

std::string OptionText(CLI::App& db, const std::string& name) {
    CLI::Option* o = db.get_option_no_throw(name);
    return o != nullptr && o->count() > 0 ? o->as<std::string>() : std::string();
}

// The database and (when one is named or installed) the configuration.
bool Site(CLI::App& db, std::string& target, std::unique_ptr<Config>& config) {
    target = OptionText(db, "--database");
    std::string path = OptionText(db, "--config");
    if (path.empty() && target.empty()) path = "/etc/talvod/talvod.toml";
    if (!path.empty()) {
        config = std::make_unique<Config>();
        std::vector<std::string> errors;
        if (!LoadConfig(path, *config, errors)) {
            for (const std::string& e : errors) std::fprintf(stderr, "talvod: %s\n", e.c_str());
            std::fprintf(stderr, "talvod: name the database with --database or a configuration with --config\n");
            return false;
        }
        if (target.empty()) target = config->database;
    }
    if (!IsPostgres(target) && !std::filesystem::is_regular_file(target)) {
        std::fprintf(stderr, "talvod: database %s: no such file\n", target.c_str());
        return false;
    }
    return true;
}

// --day, or --from and --to (either alone: that one day).
bool Period(const OpsOptions& o, std::string& from, std::string& to) {
    if (!o.day.empty() && (!o.from.empty() || !o.to.empty())) {
        std::fprintf(stderr, "talvod: --day or --from/--to, not both\n");
        return false;
    }
    from = !o.day.empty() ? o.day : !o.from.empty() ? o.from : o.to;
    to = !o.day.empty() ? o.day : !o.to.empty() ? o.to : o.from;
    if (from.empty()) from = to = LocalToday();
    if (!ValidDate(from) || !ValidDate(to)) {
        std::fprintf(stderr, "talvod: dates are YYYY-MM-DD\n");
        return false;
    }
    if (from > to) {
        std::fprintf(stderr, "talvod: --from is after --to\n");
        return false;
    }
    return true;
}

void PrintReport(const Report& r) {
    std::printf("Report %s%s\n\n", r.from.c_str(), r.from == r.to ? "" : (" to " + r.to).c_str());
    std::printf("%-8s %3s  %-16s %6s %11s %5s %10s %5s %10s %4s  %-5s %-5s\n", "line", "no", "name", "sales",
                "takings", "dep", "deposited", "sub", "subsidised", "rej", "first", "last");
    auto row = [](const std::string& line, const std::string& no, const std::string& name, const Figures& f) {
        std::printf("%-8s %3s  %-16s %6lld %11s %5lld %10s %5lld %10s %4lld  %-5s %-5s\n", line.c_str(), no.c_str(),
                    name.c_str(), static_cast<long long>(f.sales), common::FormatCents(f.takingsCents).c_str(),
                    static_cast<long long>(f.deposits), common::FormatCents(f.depositCents).c_str(),
                    static_cast<long long>(f.subsidies), common::FormatCents(f.subsidyCents).c_str(),
                    static_cast<long long>(f.rejected), f.firstSale.size() > 11 ? f.firstSale.substr(11).c_str() : "",
                    f.lastSale.size() > 11 ? f.lastSale.substr(11).c_str() : "");
    };
    for (const ReportRow& t : r.terminals) row(t.line, std::to_string(t.terminal), t.name, t.figures);
    for (const ReportRow& l : r.lines) row(l.name, "", "(line)", l.figures);
    for (const ReportRow& g : r.groups) row("", "", "group " + g.name, g.figures);
    row("site", "", "", r.site);
    for (const ReportTerminal& t : r.silent) {
        std::printf("silent: %s %d %s\n", t.line.c_str(), t.number, t.name.c_str());
    }
}

int RunReport(CLI::App& db, const OpsOptions& o) {
    std::string target, from, to;
    std::unique_ptr<Config> config;
    if (!Period(o, from, to) || !Site(db, target, config)) return 2;
    try {
        auto c = Open(target);
        const Report r = BuildReport(*c, from, to, SiteTerminals(*c, config.get()));
        if (o.format == "csv") std::fputs(ReportCsv(r).c_str(), stdout);
        else if (o.format == "html") std::fputs(ReportHtml(r, config ? config->host : "", config ? config->http.currency : "").c_str(), stdout);
        else PrintReport(r);
    } catch (const DbError& e) {
        std::fprintf(stderr, "talvod: database %s: %s\n", Describe(target).c_str(), e.what());
        return 1;
    }
    return 0;
}

int RunAttendance(CLI::App& db, const OpsOptions& o) {
    std::string target, from, to;
    std::unique_ptr<Config> config;
    if (!Period(o, from, to) || !Site(db, target, config)) return 2;
    try {
        auto c = Open(target);
        const std::vector<AttendanceDay> days = Attendance(*c, from, to, SiteTerminals(*c, config.get()));
        if (o.format == "csv") {
            std::fputs(AttendanceCsv(days).c_str(), stdout);
            return 0;
        }
        std::printf("%-6s  %-24s %-10s  %-5s %-5s %6s  %s\n", "card", "name", "day", "in", "out", "hours", "pairs");
        for (const AttendanceDay& d : days) {
            std::string pairs;
            for (const auto& [in, out] : d.pairs) pairs += (pairs.empty() ? "" : " ") + in + "-" + out;
            if (d.odd) pairs += (pairs.empty() ? "" : " ") + d.punches.back() + "-?  UNPAIRED";
            std::printf("%-6s  %-24s %-10s  %-5s %-5s %6s  %s\n", d.card.c_str(), d.name.c_str(), d.day.c_str(),
                        d.FirstIn().c_str(), d.LastOut().c_str(), Hours(d.minutes).c_str(), pairs.c_str());
        }
    } catch (const DbError& e) {
        std::fprintf(stderr, "talvod: database %s: %s\n", Describe(target).c_str(), e.what());
        return 1;
    }
    return 0;
}

int RunCardholders(CLI::App& db, const OpsOptions& o, bool import) {
    std::string target;
    std::unique_ptr<Config> config;
    std::vector<Cardholder> rows;
    if (import) {
        std::ifstream in(o.file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "talvod: cannot read %s\n", o.file.c_str());
            return 2;
        }
        std::ostringstream text;
        text << in.rdbuf();
        std::string error;
        if (!ParseCardholdersCsv(text.str(), rows, error)) {
            std::fprintf(stderr, "talvod: %s: %s; nothing imported\n", o.file.c_str(), error.c_str());
            return 2;
        }
    }
    if (!Site(db, target, config)) return 2;
    try {
        auto c = Open(target);
        if (!import) {
            std::fputs(CardholdersCsv(ListCardholders(*c)).c_str(), stdout);
            return 0;
        }
        const ImportCount n = ImportCardholders(*c, rows, o.replace);
        std::printf("%lld added, %lld changed, %lld unchanged, %lld removed\n", static_cast<long long>(n.added),
                    static_cast<long long>(n.changed), static_cast<long long>(n.unchanged),
                    static_cast<long long>(n.removed));
    } catch (const DbError& e) {
        std::fprintf(stderr, "talvod: database %s: %s%s\n", Describe(target).c_str(), e.what(),
                     import ? "; nothing imported" : "");
        return 1;
    }
    return 0;
}

void PeriodOptions(CLI::App* sub, OpsOptions& o) {
    sub->add_option("--day", o.day, "this date (YYYY-MM-DD; default today)");
    sub->add_option("--from", o.from, "from this date");
    sub->add_option("--to", o.to, "up to this date, inclusive");
}

}  // namespace

void AddOperationsCommands(CLI::App& db, std::function<int()>& run) {
    auto o = std::make_shared<OpsOptions>();
    CLI::App* parent = &db;

    CLI::App* report = db.add_subcommand("report", "the day's (or a period's) report per terminal, line, group and site");
    PeriodOptions(report, *o);
    report->add_option("--format", o->format, "text, csv or html (printable)")
        ->check(CLI::IsMember({"text", "csv", "html"}));
    report->callback([&run, o, parent] { run = [o, parent] { return RunReport(*parent, *o); }; });

    CLI::App* holders = db.add_subcommand("cardholders", "who carries which card: import or export CSV");
    holders->require_subcommand(1);
    CLI::App* import = holders->add_subcommand(
        "import", "add and update cardholders from a CSV file (card,name,staff_number,department,valid_from,valid_until)");
    import->add_option("FILE", o->file, "the CSV file, with a header")->required();
    import->add_flag("--replace", o->replace, "remove the cardholders the file does not name");
    import->callback([&run, o, parent] { run = [o, parent] { return RunCardholders(*parent, *o, true); }; });
    CLI::App* exporting = holders->add_subcommand("export", "every cardholder as CSV (what import reads)");
    exporting->callback([&run, o, parent] { run = [o, parent] { return RunCardholders(*parent, *o, false); }; });

    CLI::App* attendance = db.add_subcommand("attendance", "hours per cardholder and day from the attendance terminals");
    PeriodOptions(attendance, *o);
    attendance->add_option("--format", o->format, "text or csv")->check(CLI::IsMember({"text", "csv"}));
    attendance->callback([&run, o, parent] { run = [o, parent] { return RunAttendance(*parent, *o); }; });
}

}  // namespace talvo::service

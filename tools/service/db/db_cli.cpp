#include "db/db_cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "db/database.h"
#include "db/queries.h"

namespace talvo::service {
namespace {

struct DbOptions {
    std::string database;
    std::string config;
    std::map<std::string, std::string> filter;  // name -> value, as given
    std::string by;
    bool csv = false;
};

void FilterOptions(CLI::App* sub, DbOptions& o, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        std::string help;
        if (name == "line") help = "only this line";
        else if (name == "terminal") help = "only this terminal number";
        else if (name == "card") help = "only this card number";
        else if (name == "type") help = "payment, deposit or subsidy";
        else if (name == "from") help = "from this date or time (YYYY-MM-DD[ HH:MM])";
        else if (name == "to") help = "up to this date or time, inclusive";
        else if (name == "day") help = "only this date";
        else if (name == "limit") help = "at most this many rows (1-1000; default 100)";
        else if (name == "offset") help = "skip this many rows";
        sub->add_option_function<std::string>("--" + name, [&o, name](const std::string& v) { o.filter[name] = v; }, help);
    }
}

// The database named by --database, else by the configuration's file.
bool Target(const DbOptions& o, std::string& target) {
    if (!o.database.empty()) {
        target = o.database;
        return true;
    }
    const std::string path = o.config.empty() ? "/etc/talvod/talvod.toml" : o.config;
    Config config;
    std::vector<std::string> errors;
    if (!LoadConfig(path, config, errors)) {
        for (const std::string& e : errors) std::fprintf(stderr, "talvo: %s\n", e.c_str());
        std::fprintf(stderr, "talvo: name the database with --database or a configuration with --config\n");
        return false;
    }
    target = config.database;
    return true;
}

void Row(const std::vector<std::string>& cells, const std::vector<int>& widths) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        char cell[256];
        std::snprintf(cell, sizeof cell, widths[i] < 0 ? "%-*s" : "%*s", widths[i] < 0 ? -widths[i] : widths[i],
                      cells[i].c_str());
        line += (i == 0 ? "" : "  ") + std::string(cell);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
}

int Run(const DbOptions& o, const std::string& what) {
    std::string target;
    if (!Target(o, target)) return 2;
    std::multimap<std::string, std::string> params(o.filter.begin(), o.filter.end());
    RecordFilter f;
    std::string error;
    static const std::vector<std::string> all = {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset"};
    if (!ParseFilter(params, all, f, error)) {
        std::fprintf(stderr, "talvo: %s\n", error.c_str());
        return 2;
    }
    // A query never makes a database: a SQLite file that is not there is a
    // path that cannot be read.
    if (target.rfind("postgres", 0) != 0 && !std::filesystem::is_regular_file(target)) {
        std::fprintf(stderr, "talvo: database %s: no such file\n", target.c_str());
        return 2;
    }
    try {
        auto db = Open(target);
        if (what == "records") {
            if (o.csv) {
                std::fputs(CsvHeader().c_str(), stdout);
                if (o.filter.count("limit") == 0 && o.filter.count("offset") == 0) {
                    ForEachRecord(*db, f, [](const RecordRow& r) { std::fputs(CsvLine(r).c_str(), stdout); });
                } else {
                    for (const RecordRow& r : ListRecords(*db, f).rows) std::fputs(CsvLine(r).c_str(), stdout);
                }
                return 0;
            }
            const RecordPage page = ListRecords(*db, f);
            const std::vector<int> w = {-16, -8, 3, -6, -7, 10};
            Row({"time", "line", "no", "card", "type", "amount"}, w);
            for (const RecordRow& r : page.rows) {
                Row({r.at, r.line, std::to_string(r.terminal), r.card, TypeName(r.type), Money(r.amountCents)}, w);
            }
            std::printf("%zu of %lld records\n", page.rows.size(), static_cast<long long>(page.total));
        } else if (what == "totals") {
            const std::vector<Total> totals = Totals(*db, o.by, f);
            if (o.csv) std::printf("%s,count,sum,takings\r\n", o.by.c_str());
            else Row({o.by, "count", "sum", "takings"}, {-12, 8, 12, 12});
            for (const Total& t : totals) {
                if (o.csv) {
                    std::printf("%s,%lld,%s,%s\r\n", t.key.c_str(), static_cast<long long>(t.count),
                                Money(t.sumCents).c_str(), Money(t.takingsCents).c_str());
                } else {
                    Row({t.key, std::to_string(t.count), Money(t.sumCents), Money(t.takingsCents)}, {-12, 8, 12, 12});
                }
            }
        } else if (what == "rejected") {
            if (o.csv) std::printf("id,line,terminal,raw,reason,stored_at\r\n");
            for (const RejectedRow& r : ListRejected(*db, f)) {
                if (o.csv) {
                    std::printf("%lld,%s,%d,\"%s\",\"%s\",%s\r\n", static_cast<long long>(r.id), r.line.c_str(),
                                r.terminal, r.raw.c_str(), r.reason.c_str(), r.storedAt.c_str());
                } else {
                    Row({r.storedAt, r.line, std::to_string(r.terminal), r.raw, r.reason}, {-24, -8, 3, -28, -1});
                }
            }
        } else if (what == "terminals") {
            const std::vector<int> w = {-8, 3, -10, -16, -8, 8, 10, -24};
            if (!o.csv) Row({"line", "no", "kind", "name", "state", "today", "takings", "last seen"}, w);
            else std::printf("line,number,kind,name,state,records_today,takings_today,last_seen\r\n");
            for (const TerminalRow& t : ListTerminals(*db, LocalToday())) {
                if (o.csv) {
                    std::printf("%s,%d,%s,\"%s\",%s,%lld,%s,%s\r\n", t.line.c_str(), t.number, t.kind.c_str(),
                                t.name.c_str(), t.state.c_str(), static_cast<long long>(t.recordsToday),
                                Money(t.takingsTodayCents).c_str(), t.lastSeen.c_str());
                } else {
                    Row({t.line, std::to_string(t.number), t.kind, t.name, t.state, std::to_string(t.recordsToday),
                         Money(t.takingsTodayCents), t.lastSeen.empty() ? "never" : t.lastSeen},
                        w);
                }
            }
        }
    } catch (const DbError& e) {
        std::fprintf(stderr, "talvo: database %s: %s\n", Describe(target).c_str(), e.what());
        return 1;
    }
    return 0;
}

}  // namespace

void AddDbCommand(CLI::App& app, std::function<int()>& run) {
    auto o = std::make_shared<DbOptions>();
    CLI::App* db = app.add_subcommand("db", "query the collection service's database (records, totals, CSV)");
    db->require_subcommand(1);
    db->add_option("--database", o->database, "a SQLite file or postgresql://... (default: from the configuration)");
    db->add_option("--config", o->config, "talvod's configuration (default /etc/talvod/talvod.toml)")->type_name("FILE");

    auto choose = [&run, o](CLI::App* sub, const std::string& what) {
        sub->add_flag("--csv", o->csv, "comma-separated values");
        sub->callback([&run, o, what] { run = [o, what] { return Run(*o, what); }; });
    };
    CLI::App* records = db->add_subcommand("records", "records, newest first (with --csv: all that match, oldest first)");
    FilterOptions(records, *o, {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset"});
    choose(records, "records");
    CLI::App* totals = db->add_subcommand("totals", "count, sum and takings by day, hour, terminal, line or type");
    totals->add_option("--by", o->by, "day, hour, terminal, line or type")
        ->required()
        ->check(CLI::IsMember({"day", "hour", "terminal", "line", "type"}));
    FilterOptions(totals, *o, {"line", "terminal", "card", "type", "from", "to", "day"});
    choose(totals, "totals");
    CLI::App* rejected = db->add_subcommand("rejected", "raw records that were not taken, with the reason");
    FilterOptions(rejected, *o, {"line", "terminal", "limit", "offset"});
    choose(rejected, "rejected");
    choose(db->add_subcommand("terminals", "every terminal with its state and today's figures"), "terminals");
}

}  // namespace talvo::service

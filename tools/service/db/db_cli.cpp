#include "db/db_cli.h"

#include "db/db_cli_ops.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "db_commands.h"
#include "db/database.h"
#include "db/queries.h"
#include "values.h"

namespace talvo::service {
namespace {

// The database named by --database, else by the configuration's file.
bool Target(const common::DbQuery& o, const std::string& program, std::string& target) {
    if (!o.database.empty()) {
        target = o.database;
        return true;
    }
    const std::string path = o.config.empty() ? "/etc/talvod/talvod.toml" : o.config;
    Config config;
    std::vector<std::string> errors;
    if (!LoadConfig(path, config, errors)) {
        for (const std::string& e : errors) std::fprintf(stderr, "%s: %s\n", program.c_str(), e.c_str());
        std::fprintf(stderr, "%s: name the database with --database or a configuration with --config\n", program.c_str());
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

// A CSV field these columns always give in quotes, with a quote inside
// doubled: a raw record is what a terminal sent, a name what a site wrote.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// One query each: what it prints, as a table or as CSV.
void ShowRecords(Connection& db, const common::DbQuery& o, const RecordFilter& f) {
    if (o.csv) {
        std::fputs(CsvHeader().c_str(), stdout);
        if (o.filter.count("limit") == 0 && o.filter.count("offset") == 0) {
            ForEachRecord(db, f, [](const RecordRow& r) { std::fputs(CsvLine(r).c_str(), stdout); });
        } else {
            for (const RecordRow& r : ListRecords(db, f).rows) std::fputs(CsvLine(r).c_str(), stdout);
        }
        return;
    }
    const RecordPage page = ListRecords(db, f);
    const std::vector<int> w = {-16, -8, 3, -6, -7, 10};
    Row({"time", "line", "no", "card", "type", "amount"}, w);
    for (const RecordRow& r : page.rows) {
        Row({r.at, r.line, std::to_string(r.terminal), r.card, TypeName(r.type), common::FormatCents(r.amountCents)}, w);
    }
    std::printf("%zu of %lld records\n", page.rows.size(), static_cast<long long>(page.total));
}

void ShowTotals(Connection& db, const common::DbQuery& o, const RecordFilter& f) {
    const std::vector<Total> totals = Totals(db, o.by, f);
    if (o.csv) std::printf("%s,count,sum,takings\r\n", o.by.c_str());
    else Row({o.by, "count", "sum", "takings"}, {-12, 8, 12, 12});
    for (const Total& t : totals) {
        if (o.csv) {
            std::printf("%s,%lld,%s,%s\r\n", t.key.c_str(), static_cast<long long>(t.count), common::FormatCents(t.sumCents).c_str(),
                        common::FormatCents(t.takingsCents).c_str());
        } else {
            Row({t.key, std::to_string(t.count), common::FormatCents(t.sumCents), common::FormatCents(t.takingsCents)}, {-12, 8, 12, 12});
        }
    }
}

void ShowRejected(Connection& db, const common::DbQuery& o, const RecordFilter& f) {
    if (o.csv) std::printf("id,line,terminal,raw,reason,stored_at\r\n");
    for (const RejectedRow& r : ListRejected(db, f)) {
        if (o.csv) {
            std::printf("%lld,%s,%d,%s,%s,%s\r\n", static_cast<long long>(r.id), r.line.c_str(), r.terminal,
                        Quoted(r.raw).c_str(), Quoted(r.reason).c_str(), r.storedAt.c_str());
        } else {
            Row({r.storedAt, r.line, std::to_string(r.terminal), r.raw, r.reason}, {-24, -8, 3, -28, -1});
        }
    }
}

void ShowTerminals(Connection& db, const common::DbQuery& o, const RecordFilter&) {
    const std::vector<int> w = {-8, 3, -10, -16, -8, 8, 10, -24};
    if (!o.csv) Row({"line", "no", "kind", "name", "state", "today", "takings", "last seen"}, w);
    else std::printf("line,number,kind,name,state,records_today,takings_today,last_seen\r\n");
    for (const TerminalRow& t : ListTerminals(db, LocalToday())) {
        if (o.csv) {
            std::printf("%s,%d,%s,%s,%s,%lld,%s,%s\r\n", t.line.c_str(), t.number, t.kind.c_str(),
                        Quoted(t.name).c_str(), t.state.c_str(), static_cast<long long>(t.recordsToday),
                        common::FormatCents(t.takingsTodayCents).c_str(), t.lastSeen.c_str());
        } else {
            Row({t.line, std::to_string(t.number), t.kind, t.name, t.state, std::to_string(t.recordsToday),
                 common::FormatCents(t.takingsTodayCents), t.lastSeen.empty() ? "never" : t.lastSeen},
                w);
        }
    }
}

struct Query {
    const char* what;
    void (*show)(Connection& db, const common::DbQuery& o, const RecordFilter& f);
};

constexpr Query kQueries[] = {
    {"records", ShowRecords},
    {"totals", ShowTotals},
    {"rejected", ShowRejected},
    {"terminals", ShowTerminals},
};

int Run(const common::DbQuery& o, const std::string& program) {
    std::string target;
    if (!Target(o, program, target)) return 2;
    std::multimap<std::string, std::string> params(o.filter.begin(), o.filter.end());
    RecordFilter f;
    std::string error;
    static const std::vector<std::string> all = {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset"};
    if (!ParseFilter(params, all, f, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 2;
    }
    // A query never makes a database: a SQLite file that is not there is a
    // path that cannot be read.
    if (target.rfind("postgres", 0) != 0 && !std::filesystem::is_regular_file(target)) {
        std::fprintf(stderr, "%s: database %s: no such file\n", program.c_str(), target.c_str());
        return 2;
    }
    try {
        auto db = Open(target);
        for (const Query& q : kQueries) {
            if (o.what == q.what) q.show(*db, o, f);
        }
    } catch (const DbError& e) {
        std::fprintf(stderr, "%s: database %s: %s\n", program.c_str(), Describe(target).c_str(), e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int DbMain(int argc, char** argv) {
    // The name it was run under: talvo runs it as "talvo", so that `talvo
    // db` speaks as talvo.
    std::string program = argc > 0 ? argv[0] : "talvod";
    program = program.substr(program.rfind('/') + 1);
    CLI::App app{program + " db: query the collection service's database", program};
    app.require_subcommand(1);
    auto query = std::make_shared<common::DbQuery>();
    bool chosen = false;
    CLI::App* db = common::AddDbCommands(app, "query the collection service's database (records, totals, CSV)",
                                         query, [&chosen] { chosen = true; });
    // The day's report, cardholders and attendance hours (db_cli_ops.cpp).
    std::function<int()> run;
    AddOperationsCommands(*db, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see %s db --help)\n", program.c_str(), e.what(), program.c_str());
        return 2;
    }
    if (run) return run();
    return chosen ? Run(*query, program) : 2;
}

}  // namespace talvo::service

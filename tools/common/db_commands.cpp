#include "db_commands.h"

#include <CLI/CLI.hpp>

#include <utility>
#include <vector>

namespace talvo::common {
namespace {

struct Filter {
    const char* name;
    const char* help;
};

constexpr Filter kFilters[] = {
    {"line", "only this line"},
    {"terminal", "only this terminal number"},
    {"card", "only this card number"},
    {"type", "payment, deposit or subsidy"},
    {"from", "from this date or time (YYYY-MM-DD[ HH:MM])"},
    {"to", "up to this date or time, inclusive"},
    {"day", "only this date"},
    {"limit", "at most this many rows (1-1000; default 100)"},
    {"offset", "skip this many rows"},
};

void FilterOptions(CLI::App* sub, DbQuery& q, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        std::string help;
        for (const Filter& f : kFilters) {
            if (name == f.name) help = f.help;
        }
        sub->add_option_function<std::string>("--" + name, [&q, name](const std::string& v) { q.filter[name] = v; },
                                              help);
    }
}

}  // namespace

CLI::App* AddDbCommands(CLI::App& app, const std::string& description, std::shared_ptr<DbQuery> query,
                        std::function<void()> chosen, bool operations) {
    DbQuery& q = *query;
    CLI::App* db = app.add_subcommand("db", description);
    db->require_subcommand(1);
    // --database and --config may also come after the query's name
    // (`db records --database FILE`): its subcommands hand them up.
    db->fallthrough();
    db->add_option("--database", q.database, "a SQLite file or postgresql://... (default: from the configuration)");
    db->add_option("--config", q.config, "talvod's configuration (default /etc/talvod/talvod.toml)")->type_name("FILE");

    auto choose = [query, chosen](CLI::App* sub, const std::string& what) {
        sub->add_flag("--csv", query->csv, "comma-separated values");
        sub->callback([query, chosen, what] {
            query->what = what;
            chosen();
        });
    };
    CLI::App* records = db->add_subcommand("records", "records, newest first (with --csv: all that match, oldest first)");
    FilterOptions(records, q, {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset"});
    choose(records, "records");
    CLI::App* totals = db->add_subcommand("totals", "count, sum and takings by day, hour, terminal, line or type");
    totals->add_option("--by", q.by, "day, hour, terminal, line or type")
        ->required()
        ->check(CLI::IsMember({"day", "hour", "terminal", "line", "type"}));
    FilterOptions(totals, q, {"line", "terminal", "card", "type", "from", "to", "day"});
    choose(totals, "totals");
    CLI::App* rejected = db->add_subcommand("rejected", "raw records that were not taken, with the reason");
    FilterOptions(rejected, q, {"line", "terminal", "limit", "offset"});
    choose(rejected, "rejected");
    choose(db->add_subcommand("terminals", "every terminal with its state and today's figures"), "terminals");
    if (operations) {
        static const std::pair<const char*, const char*> kOperations[] = {
            {"report", "the day's report, or a period's (talvod db report --help)"},
            {"cardholders", "import, export or list the cardholders (talvod db cardholders --help)"},
            {"attendance", "attendance hours per cardholder and day (talvod db attendance --help)"},
        };
        for (const auto& [name, help] : kOperations) {
            CLI::App* sub = db->add_subcommand(name, help);
            // Everything after the name, --help too, is talvod's to read.
            sub->prefix_command();
            sub->allow_extras();
            sub->fallthrough(false);
            sub->set_help_flag();
            sub->callback([query, chosen, what = std::string(name)] {
                query->what = what;
                chosen();
            });
        }
    }
    return db;
}

}  // namespace talvo::common

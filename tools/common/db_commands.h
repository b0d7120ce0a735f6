// `db`: the service's database for scripts (records, totals, rejected
// records, terminals; tables or CSV).  The command line is defined once,
// here, for both programs that offer it: talvod runs the queries
// (`talvod db ...`), and talvo reads the same command line, so that its help,
// man page, completion and usage errors cover `talvo db`, and then hands it
// to talvod.  Nothing here touches a database.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace talvo::common {

// A query as given on the command line.
struct DbQuery {
    std::string what;  // records, totals, rejected or terminals
    std::string database;
    std::string config;
    std::map<std::string, std::string> filter;  // name -> value, as given
    std::string by;
    bool csv = false;
};

// Adds `db` and its subcommands to `app`, described as `description`;
// `chosen` is called while the command line is read when a query was asked
// for, with `query` filled in.  With `operations` also the day's report,
// cardholders and attendance hours, whose arguments are handed on to talvod
// unread (talvo; talvod defines them itself, db_cli_ops.cpp).
CLI::App* AddDbCommands(CLI::App& app, const std::string& description, std::shared_ptr<DbQuery> query,
                        std::function<void()> chosen, bool operations = false);

}  // namespace talvo::common

// The site manager's and the payroll clerk's subcommands of `db`: the
// day's report, cardholders (import and export) and attendance hours.  They
// take the database from the `db` command's own --database and --config
// options.  Hooked in beside the query subcommands:
//
//     CLI::App* db = app.add_subcommand("db", ...);   // with --database, --config
//     AddOperationsCommands(*db, run);
//
// `run` is set when one of them was chosen and returns the exit status: 0,
// 1 when the database fails, 2 for a bad argument or file.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace talvo::service {

void AddOperationsCommands(CLI::App& db, std::function<int()>& run);

}  // namespace talvo::service

// `talvo db`: the service's database for scripts (records, totals, rejected
// records, terminals; tables or CSV).  The command-line tool calls
//
//     std::function<int()> dbRun;
//     talvo::service::AddDbCommand(app, dbRun);
//     ...parse...
//     if (dbRun) return dbRun();
//
// `run` is set when `db` was chosen and returns the exit status: 0, 1 when
// the database fails, 2 for a bad filter or database name.  It needs
// neither the library nor a line.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace talvo::service {

void AddDbCommand(CLI::App& app, std::function<int()>& run);

}  // namespace talvo::service

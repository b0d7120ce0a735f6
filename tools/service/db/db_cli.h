// `talvod db ...`: the service's database for scripts (records, totals,
// rejected records, terminals; tables or CSV), with the command line of
// tools/common/db_commands.h.  `talvo db ...` runs it.  It needs neither
// the library nor a line.
#pragma once

namespace talvo::service {

// Runs the command line `argv` whose argv[1] is "db".  Messages begin with
// the last part of argv[0].  The exit status: 0, 1 when the database fails,
// 2 for a bad filter, database name or command line.
int DbMain(int argc, char** argv);

}  // namespace talvo::service

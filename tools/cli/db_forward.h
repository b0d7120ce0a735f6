// `talvo db ...`: the service's database is queried by talvod (`talvod db
// ...`); talvo reads the same command line (tools/common/db_commands.h) for
// its help and its usage errors, and then hands it over (Linux).
#pragma once

namespace talvo::cli {

// What `talvo --help` says of `db`.
extern const char* const kDbDescription;

// Replaces this process by `talvod db ...` with the arguments from `db` on,
// the standard streams and the exit status its own: talvod beside talvo,
// else on PATH.  Returns only when there is none to run, after saying so on
// standard error: the exit status then.
int RunTalvodDb(int argc, char** argv);

}  // namespace talvo::cli

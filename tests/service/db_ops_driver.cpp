// `db report`, `db cardholders` and `db attendance` alone, hooked into a
// `db` command with its --database and --config as the tool has them.
#include <CLI/CLI.hpp>

#include <functional>

#include "db/db_cli_ops.h"

int main(int argc, char** argv) {
    CLI::App app{"talvod db operations, for the tests", "talvod"};
    app.require_subcommand(1);
    CLI::App* db = app.add_subcommand("db", "the service's database");
    db->require_subcommand(1);
    std::string database, config;
    db->add_option("--database", database, "a SQLite file or postgresql://...");
    db->add_option("--config", config, "talvod's configuration");
    std::function<int()> run;
    talvo::service::AddOperationsCommands(*db, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return run ? run() : 2;
}

// The `db` subcommand of the command-line tool, alone: the tests run it as
// the tool runs it, without the rest of the tool.
#include <CLI/CLI.hpp>

#include <functional>

#include "db/db_cli.h"

int main(int argc, char** argv) {
    CLI::App app{"talvo db, for the tests", "talvo"};
    app.require_subcommand(1);
    std::function<int()> run;
    talvo::service::AddDbCommand(app, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return run ? run() : 2;
}

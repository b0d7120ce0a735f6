// Commands for one terminal through the interface: the command-line tool's
// subcommands, run by the line's worker on its open line.  A request is a
// JSON object {"op": "blacklist add", "cards": ["123456"]}: the op as the
// tool's subcommand and its arguments by the tool's names, every one
// checked here as the tool checks it before anything reaches the line.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "line/task_queue.h"

namespace talvo::service {

struct PreparedCommand {
    std::string op;
    bool changes = false;  // changes the terminal, or tests its key (reads do not)
    bool collect = false;  // "collect": a collection into this service's store
    // The item of the desired state (desired.h) the op changes on the
    // terminal, "*" for any of them (clear-ram), "" for none.
    std::string item;
    CommandTicket::Work work;
};

// Reads and checks a request; an empty text when it is good (and `out`
// ready to run), otherwise why not, in one line.
std::string PrepareCommand(const nlohmann::json& request, PreparedCommand& out);

// The ops, in the tool's order (for a refusal that lists them).
const std::vector<std::string>& CommandOps();

}  // namespace talvo::service

// Command requests of the interface: {"op": "...", arguments} checked as
// the command-line tool checks them before anything reaches a line.
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "http/command_table.h"
#include "manage/desired.h"

using namespace talvo::service;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const json request = json::parse(data, data + size, nullptr, false);
    if (request.is_discarded()) return 0;
    PreparedCommand out;
    const std::string problem = PrepareCommand(request, out);
    // Why not (an unknown op is named back as it came, in the JSON of the
    // answer), or a command ready to run.
    if (!problem.empty()) return 0;
    FUZZ_CHECK(request.is_object() && request.at("op") == out.op);
    const std::vector<std::string>& ops = CommandOps();
    FUZZ_CHECK(std::find(ops.begin(), ops.end(), out.op) != ops.end());
    FUZZ_CHECK(out.collect || static_cast<bool>(out.work));
    FUZZ_CHECK(out.item.empty() || out.item == "*" || FindItem(out.item) != nullptr);
    // A command that changes an item changes the terminal.
    FUZZ_CHECK(out.item.empty() || out.changes);
    // The same request prepares the same way.
    PreparedCommand again;
    FUZZ_CHECK(PrepareCommand(request, again).empty() && again.op == out.op && again.item == out.item &&
               again.changes == out.changes && again.collect == out.collect);
    return 0;
}

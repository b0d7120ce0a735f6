// talvod's configuration: any TOML text, read and checked as the service
// reads its file at start and on reload.
#include "config.h"
#include "fuzz_check.h"

using namespace talvo::service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    static talvo::fuzz::MemoryFile file;
    file.Write(data, size);
    Config config;
    std::vector<std::string> errors;
    const bool good = LoadConfig(file.Path(), config, errors);
    // Refused with the reasons, each naming the file; or taken with none.
    FUZZ_CHECK(good == errors.empty());
    for (const std::string& e : errors) FUZZ_CHECK(e.rfind(file.Path(), 0) == 0);
    if (!good) return 0;
    // A configuration taken is one the service can run: ports, durations
    // and terminal numbers in range, names of lines unique.
    FUZZ_CHECK(config.http.port >= 0 && config.http.port <= 65535);
    FUZZ_CHECK(config.jobs.collectMs > 0 && config.jobs.statusMs > 0 && config.jobs.clockMs > 0);
    FUZZ_CHECK(config.jobs.backoffMinMs > 0 && config.jobs.backoffMinMs <= config.jobs.backoffMaxMs);
    FUZZ_CHECK(!config.http.users.empty() || config.http.token.empty());
    for (std::size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig& line = config.lines[i];
        FUZZ_CHECK(!line.name.empty() && !line.device.empty() && line.tries >= 1);
        for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(config.lines[j].name != line.name);
        for (const TerminalConfig& t : line.terminals) {
            FUZZ_CHECK(t.number >= 0 && t.number <= 255);
            FUZZ_CHECK(t.kind == "payment" || t.kind == "attendance");
        }
    }
    return 0;
}

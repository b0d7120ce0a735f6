// Running a program as a user does, for the tests of talvo and talvo-sim:
// its exit status, its output and its peak resident size.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace talvo::test {

struct RunOptions {
    std::vector<std::string> env;       // NAME=VALUE added to the environment
    std::string stdin_path = "/dev/null";  // opened as standard input
    std::string cwd;                    // working folder, if not this one
    uid_t uid = 0;                      // run as this user when not 0 (root only)
    bool keep_stdout = true;            // false: only counted
    bool close_stdout_early = false;    // the reader goes away at once
};

struct Outcome {
    bool exited = false;  // false: ended by a signal
    int status = -1;      // exit status, or the signal
    std::string out, err;
    std::size_t out_bytes = 0;
    std::size_t out_lines = 0;
    long peak_kib = 0;    // peak resident size of the child
};

// Runs `argv` (argv[0] a path) to its end.
Outcome Run(const std::vector<std::string>& argv, const RunOptions& options = {});


}  // namespace talvo::test

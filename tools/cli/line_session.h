// The terminal driven through the line API: a line opened with the options
// of the command line (no settings file), and records fetched, stored in a
// record store file and only then confirmed.
#pragma once

#include <string>

#include "cli.h"
#include "host_library.h"
#include "line_terminal.h"

namespace talvo::cli {

// The tool speaks the shared words of tools/common: values and terminals.
using namespace talvo::common;

// One open line; closed with the object.
class LineSession {
public:
    LineSession() = default;
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    // Loads the library (without letting it open the settings file's port)
    // and opens the line; false with a one-line problem.
    bool Start(const Globals& globals, std::string& problem);
    host::HostLibrary& Library() { return lib_; }
    talvo_line* Line() const { return line_; }

private:
    host::HostLibrary lib_;
    talvo_line* line_ = nullptr;
};

class CollectingLineTerminal final : public LineTerminal {
public:
    using LineTerminal::LineTerminal;
    bool CollectBatch(const std::string& store, BatchResult& result) override;
    bool Ack(int& count, unsigned& mark) override;

private:
    // One collection by the library into the store file; false only when
    // the library cannot collect.  Damaged and unwanted records are shown.
    bool CollectOnce(const std::string& store, talvo_collect_result& result, int& code);
};

}  // namespace talvo::cli

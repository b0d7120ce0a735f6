// The terminal driven through the 43 exports, as a host program drives it:
// the library loaded with a settings file, results read with GetError().
#pragma once

#include "host_library.h"
#include "terminal.h"

namespace talvo::cli {

// The tool speaks the shared words of tools/common: values and terminals.
using namespace talvo::common;

// The meaning of a GetError code, for messages.
const char* ErrorMeaning(int code);

class LegacyTerminal : public Terminal {
public:
    LegacyTerminal(host::HostLibrary& lib, int terminal) : lib_(lib), terminal_(terminal) {}

    TALVO_TERMINAL_OVERRIDES
    bool CollectBatch(const std::string& store, BatchResult& result) override;
    bool Ack(int& count, unsigned& mark) override;

private:
    // 1 from an export is success; otherwise the reason from GetError().
    bool Check(int result);
    // For the exports that always return 1: GetError() tells.
    bool CheckError();

    host::HostLibrary& lib_;
    int terminal_;
};

}  // namespace talvo::cli

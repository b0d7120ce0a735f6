// A terminal driven through the line API on a line that is already open:
// results as error codes, money in cents.  The command-line tool runs it on
// a line of its own, the service on the line its worker holds; both say the
// same in the same words.  Collection is each side's own (a store file, the
// service's database), so CollectBatch and Ack are left to them.
#pragma once

#include <string>

#include "host_library.h"
#include "terminal.h"

namespace talvo::common {

class LineTerminal : public Terminal {
public:
    LineTerminal(host::HostLibrary& lib, talvo_line* line, int terminal) : lib_(lib), line_(line), terminal_(terminal) {}

    TALVO_TERMINAL_OVERRIDES

    // The library's code for the last command (TALVO_OK when it went through).
    int LastCode() const { return last_; }

protected:
    // 0 is success; otherwise the code's meaning.
    bool Check(int code);

    host::HostLibrary& lib_;
    talvo_line* line_;
    int terminal_;

private:
    // The payment and the attendance clock, read and set alike.
    using ClockReader = decltype(&::talvo_clock_read);
    using ClockWriter = decltype(&::talvo_clock_set);
    bool ReadClock(ClockReader read, DateTime& when);
    bool SetClock(ClockWriter write, const DateTime& when);

    int last_ = TALVO_OK;
};

}  // namespace talvo::common

// The test's end of the software terminal's control channel.  On Linux the
// terminal runs in the test process unless TALVO_SIM_CONTROL names one that
// runs already (as it does for the Windows tests under Wine).
#pragma once

#include <string>
#include <vector>

namespace talvo::test {

class Sim {
public:
    // The one software terminal of the test program, started on first use.
    static Sim& Get();
    // A further terminal on a line of its own, in this process (Linux only:
    // null elsewhere).  It runs until the program ends.
    static Sim* Another();
    // False when no terminal can be reached (the tests are then skipped).
    bool Available() const { return socket_ >= 0; }

    // Sends one control command and returns the answer without "ok ".
    std::string Command(const std::string& line);
    // Like Command, and the test fails unless the answer is "ok".
    std::string Ok(const std::string& line);
    // Every request frame received since the last reset, as bytes.
    std::vector<std::string> Frames();

    // The name the library's settings use for the line: a device path on
    // Linux, a COM port under Wine.
    const std::string& PortName() const { return portName_; }

private:
    Sim();
    explicit Sim(bool own);
    long socket_ = -1;
    std::string portName_;
    std::string buffered_;
};

}  // namespace talvo::test

// The software terminal's input and output: a pseudo-terminal (or a serial
// device) for the line, and a TCP control channel on 127.0.0.1 that tests -
// also Windows tests under Wine - use to set state and faults and to read
// back every frame received.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "sim_line.h"

namespace talvo::sim {

class Server {
public:
    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens a new pseudo-terminal, or `device` when it is not empty; links
    // `link` to the line's path when it is not empty.
    bool OpenLine(const std::string& device, const std::string& link);
    // Listens on 127.0.0.1:`port` (0 picks a free port).
    bool Listen(int port);
    // Serves the line and the control channel until Stop().
    void Run();
    void Stop();

    const std::string& DevicePath() const { return devicePath_; }
    int ControlPort() const { return controlPort_; }
    // Runs a control command directly (same text as over TCP).
    std::string Control(const std::string& command);

private:
    void CloseLine();
    void Serve(const Action& action);
    void WritePaced(const std::string& bytes);

    Line line_;
    std::mutex mutex_;
    int master_ = -1;
    int slave_ = -1;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    int controlPort_ = 0;
    std::string devicePath_;
    std::string link_;
    std::string device_;
    std::atomic<bool> stop_{false};
};

}  // namespace talvo::sim

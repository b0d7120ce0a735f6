// The software terminal's input and output: a pseudo-terminal (or a serial
// device) for the line, and a TCP control channel on 127.0.0.1 that tests -
// also Windows tests under Wine - use to set state and faults and to read
// back every frame received.
//
// One poll loop serves both without ever blocking: replies wait in a queue
// until they are due (delays, split pieces, pacing) and are written as the
// line takes them, control answers as the client reads them.  Whatever the
// line does, the control channel stays served and Stop() ends Run() within
// one turn of the loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <cstdint>
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
    // Serves the line over the network instead of a pseudo-terminal:
    // `where` is "tcp:HOST:PORT" (a raw byte stream, as a device server's
    // raw mode) or "rfc2217:HOST:PORT" (Telnet with the COM port control
    // option); port 0 picks a free one.  The connection accepted last is
    // the line; a new one replaces it.  DevicePath() is then the URL.
    bool ListenLine(const std::string& where, std::string& error);
    int LinePort() const { return linePort_; }
    // Serves the line and the control channel until Stop().  The server
    // may be destroyed while Run() goes on in another thread: the destructor
    // stops it and waits for it to end.
    void Run();
    // Safe from a signal handler and from any thread.
    void Stop();

    const std::string& DevicePath() const { return devicePath_; }
    int ControlPort() const { return controlPort_; }
    // Runs a control command directly (same text as over TCP).
    std::string Control(const std::string& command);

    // The longest control line taken; a longer one is answered with an error.
    static constexpr std::size_t kMaxControlLine = 1 << 20;
    static constexpr std::size_t kMaxClientOutput = 64u << 20;
    // Reply bytes the line has not taken this long after they were due are
    // dropped, as a real terminal's transmitter would have sent them anyway.
    static constexpr std::chrono::milliseconds kStaleOutput{1000};

private:
    using Clock = std::chrono::steady_clock;
    struct Output {
        Clock::time_point due;
        std::string bytes;
        bool closeLine = false;
    };
    struct Client {
        std::string in;
        std::string out;
        bool overlong = false;  // discarding the rest of an over-long line
        bool closed = false;
    };

    void CloseLine();
    void Wake();
    void Queue(const Action& action, Clock::time_point start);
    void ReadLine();
    void WriteLine();
    void ServeClient(int fd, Client& client, short events);
    // Network lines.
    bool BindLine();
    void AcceptLine();
    std::string NetControl(const std::string& command);
    // The data bytes of what a network line received (Telnet commands
    // taken out and answered).
    std::size_t Telnet(unsigned char* bytes, std::size_t count);
    void TelnetSubnegotiation();
    void SendNow(const std::string& bytes);

    Line line_;
    std::mutex mutex_;  // line_, master_/slave_ and the output queue
    std::mutex runMutex_;
    std::condition_variable runEnded_;
    bool running_ = false;  // Run() is serving (under runMutex_)
    std::deque<Output> output_;
    std::map<int, Client> clients_;
    int master_ = -1;
    int slave_ = -1;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    int controlPort_ = 0;
    std::string devicePath_;
    std::string link_;
    std::string device_;
    std::atomic<bool> stop_{false};

    // Network line: the protocol (0 none, 1 raw TCP, 2 RFC 2217), the
    // listening socket and the faults of its control commands.
    int net_ = 0;
    int lineListen_ = -1;
    int linePort_ = 0;
    std::string lineHost_;
    bool refuse_ = false;          // the listener is closed: connections are refused
    bool mute_ = false;            // takes connections and never answers
    std::uint32_t keepBaud_ = 0;   // RFC 2217: answers every baud rate with this one
    long cutAfter_ = -1;           // closes the connection after so many reply bytes
    std::uint32_t baud_ = 9600;    // RFC 2217: the rate set last
    std::size_t connections_ = 0;
    // Telnet state of the connection.
    int telnetState_ = 0;
    unsigned char verb_ = 0;
    std::string sub_;
};

}  // namespace talvo::sim

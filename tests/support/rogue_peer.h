// Device servers that misbehave, for tests of network lines: one that sends
// random bytes as fast as the connection takes them, and one that closes
// every new connection at once after a line of text (as a device server
// does while another client holds the device).  Loopback only; every
// connection has its own thread, stopped and joined with the peer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvo::test {

class RoguePeer {
public:
    enum class Mode { kFlood, kBusy };
    // kBusy sends `text` and closes; kFlood ignores it.
    explicit RoguePeer(Mode mode, std::string text = "Port already in use\r\n");
    ~RoguePeer();
    RoguePeer(const RoguePeer&) = delete;
    RoguePeer& operator=(const RoguePeer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& scheme) const { return scheme + "://127.0.0.1:" + std::to_string(port_); }
    // Connections accepted so far, and bytes sent over all of them.
    int Accepted() const { return accepted_.load(); }
    std::uint64_t Sent() const { return sent_.load(); }
    // Connections still open (a flood runs until the client closes).
    int Open() const { return open_.load(); }

private:
    void AcceptLoop();
    void Serve(int fd);

    Mode mode_;
    std::string text_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
    std::atomic<std::uint64_t> sent_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> connections_;
};

}  // namespace talvo::test

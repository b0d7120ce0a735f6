// The HTTP server under the interface: httplib's routing and responses, with
// the connections kept by this file.  What a neighbour on the network can
// take is bounded here:
//   - a request's head (its line and header lines): at most `headBytes` and
//     `headLines`, answered 431 beyond and the connection closed;
//   - time: a request's first byte must come within `idle` of the
//     connection's start or of the previous answer, and the whole request
//     within `request` of its first byte (a header line now and then does
//     not keep a connection), answered 408 otherwise;
//   - connections: `threads` served at once; one address holds at most
//     `perAddress`: a new connection beyond that closes that address's
//     connection idle the longest, or is answered 503 when none is idle.
// A stop ends the connections waiting for a request or reading one at once,
// and gives those being answered the stop wait to finish.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace talvo::service {

struct HttpLimits {
    std::size_t threads = 128;
    std::size_t perAddress = 32;
    std::size_t headBytes = 32 * 1024;
    std::size_t headLines = 100;
    std::chrono::milliseconds idle{5000};
    std::chrono::milliseconds request{10000};
    std::chrono::milliseconds write{30000};
    // How long a stop waits for requests in progress (a handler may wait
    // for its line).
    std::chrono::milliseconds stopWait{3000};
};

// The connections and their threads.  Shared with the threads, so that it
// outlives the server when a handler does not end by the stop.
struct HttpConnections {
    // Where a connection is: waiting for a request's first byte, reading
    // its head, or past the head (its body, its handler, its answer).
    enum Phase : int { kWaiting, kHead, kServing };
    struct Open {
        int fd = -1;  // -1 once it was closed to make way for another
        std::string address;
        std::atomic<int> phase{kWaiting};
    };
    std::mutex lock;
    std::condition_variable more, ended;
    std::deque<std::function<void()>> jobs;
    std::list<Open*> open;  // oldest first
    std::size_t running = 0;
    std::size_t idle = 0;
    bool stop = false;
};

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(const HttpLimits& limits = {});
    ~GuardedServer() override;

    // Binds `host`:`port` (any free port for 0) and listens with the
    // system's longest queue of connections not yet accepted (httplib's is
    // 5: a burst of connections would drop the page's and its client would
    // try again only a second later).  The port, or 0 on failure.
    int Bind(const std::string& host, int port);

    // Stops listening and ends the connections: those being answered after
    // the stop wait at most.  True when no thread is left.
    bool StopAll();

private:
    bool process_and_close_socket(socket_t sock) override;
    // Registers a new connection: false when its address holds its limit
    // and none of them is idle.
    bool Admit(HttpConnections::Open& c);
    void Forget(HttpConnections::Open& c);
    // Ends the connections not being answered, or all of them.
    void EndConnections(bool serving);

    const HttpLimits limits_;
    std::shared_ptr<HttpConnections> state_ = std::make_shared<HttpConnections>();
};

}  // namespace talvo::service

// The HTTP server under the interface: httplib's routing and responses, with
// the connections kept by this file.  One thread accepts and watches the
// connections that wait for a request; a connection takes a thread only
// once its request's first byte is there, and goes back to the watcher
// after its answer.  An idle connection therefore never holds a thread,
// and no idle connection stands in a queue before a request.
//
// What a neighbour on the network can take is bounded here:
//   - a request's head (its line and header lines): at most `headBytes` and
//     `headLines`, answered 431 beyond and the connection closed;
//   - time: a request's first byte must come within `idle` of the
//     connection's start or of the previous answer, and the whole request
//     within `request` of its first byte (a header line now and then does
//     not keep a connection), answered 408 otherwise;
//   - connections, counted as they are accepted: one address holds at most
//     `perAddress`, the service at most `connections`; a new connection
//     beyond either closes the connection idle the longest (of that address,
//     or of all), or is answered 503 when none is idle; `threads` requests
//     are read and answered at once, the others wait for a thread in the
//     order their first byte came.
// A stop ends the connections waiting for a request or reading one at once,
// and gives those being answered the stop wait to finish.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace talvo::service {

struct HttpLimits {
    std::size_t threads = 128;
    std::size_t perAddress = 32;
    std::size_t connections = 512;
    std::size_t headBytes = 32 * 1024;
    std::size_t headLines = 100;
    std::chrono::milliseconds idle{5000};
    std::chrono::milliseconds request{10000};
    std::chrono::milliseconds write{30000};
    // How long a stop waits for requests in progress (a handler may wait
    // for its line).
    std::chrono::milliseconds stopWait{3000};
    // Run by a connection thread each time it wakes, before it takes a
    // connection: the tests' way of making a thread slow to wake.
    std::function<void()> onThreadWake;
};

// The connections and their threads, shared with the threads so that it
// outlives the server when a handler does not end by the stop.
struct HttpConnections;

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(const HttpLimits& limits = {});
    ~GuardedServer() override;

    // Binds `host`:`port` (any free port for 0) and listens with the
    // system's longest queue of connections not yet accepted (httplib's is
    // 5: a burst of connections would drop the page's and its client would
    // try again only a second later).  The port, or 0 on failure.
    int Bind(const std::string& host, int port);

    // Accepts and serves connections until StopAll, on the calling thread.
    void Serve();

    // Stops listening and ends the connections: those being answered after
    // the stop wait at most.  True when no thread is left.
    bool StopAll();

    // Connections open now, and threads serving or waiting to.
    std::size_t OpenConnections() const;
    std::size_t Threads() const;

private:
    friend struct HttpConnections;
    // Reads and answers the requests of a connection whose first byte is
    // there, as long as they follow each other without a pause: true when
    // the connection stays open for another request.
    bool ServeRequests(void* connection);

    std::shared_ptr<HttpConnections> state_;
};

}  // namespace talvo::service

#include "http/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "net/sockets.h"

namespace talvo::service {
namespace {

using net::Socket;

using Clock = std::chrono::steady_clock;

// A refused connection's request is read and dropped for this long before
// the close, so that the client reads the answer rather than a reset.
constexpr std::chrono::milliseconds kDrainTime{300};
constexpr std::size_t kDrainBytes = 256 * 1024;
// Connections accepted in one turn of the watcher, so that those waiting
// for a request are looked at between the accepts of a burst.
constexpr int kAcceptsPerTurn = 64;
// How long the watcher stops accepting when the process has no descriptor
// left and no idle connection to close for a new one.
constexpr std::chrono::milliseconds kNoDescriptorPause{100};
// A thread with nothing to do for this long ends.
constexpr std::chrono::seconds kThreadIdleEnd{10};
// A connection queued for this long while the thread called for it has not
// come (a thread slow to be scheduled) gets a new thread, below the limit.
constexpr std::chrono::milliseconds kQueueRescue{20};

// Where a connection is: with the watcher waiting for a request's first
// byte, queued for a thread, reading its head, or past the head (its body,
// its handler, its answer).
enum Phase : int { kWaiting, kQueued, kHead, kServing };

// A whole answer of `status` with a JSON reason, closing the connection.
std::string Answer(int status, const char* reason, const std::string& why) {
    const std::string body = "{\"error\":\"" + why + "\"}";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// "1.2.3.4" or "::1" and the port of a socket's peer (or its own end).
void Address(Socket fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    const int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length)
                        : getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ip.clear();
    port = 0;
    if (rc != 0) return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// Waits until the socket is ready for `events` or `until` passed; true
// when ready (or closed or failed: the next call says which).
bool Ready(Socket fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        net::PollFd p{fd, events, 0};
        const int rc = net::Poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (rc > 0) return true;
        if (rc < 0 && !net::Interrupted(net::LastError())) return true;
    }
}

// A connection as httplib reads and writes it, counting a request's head
// as it passes and keeping its deadlines.
class GuardedStream final : public httplib::Stream {
public:
    GuardedStream(Socket fd, const HttpLimits& limits, std::atomic<int>& phase)
        : fd_(fd), limits_(limits), phase_(phase) {}

    // Starts the next request, whose first byte is read or ready to be:
    // false when the connection was closed instead.
    bool BeginRequest() {
        if (ended_) return false;
        deadline_ = Clock::now() + limits_.idle;
        if (pos_ == end_ && Fill() <= 0) return false;
        head_ = true;
        phase_ = kHead;
        headBytes_ = 0;
        lines_ = 0;
        lineLength_ = 0;
        deadline_ = Clock::now() + limits_.request;
        return true;
    }

    // Answers `status` itself and ends the connection: httplib's own
    // answer then finds it closed.
    void Refuse(int status, const char* reason, const std::string& why) {
        if (ended_) return;
        const std::string text = Answer(status, reason, why);
        Send(text.data(), text.size(), Clock::now() + std::chrono::seconds(1));
        ended_ = true;
        net::Shutdown(fd_, net::kShutWrite);
        const auto until = Clock::now() + kDrainTime;
        std::size_t dropped = 0;
        char scratch[4096];
        while (dropped < kDrainBytes && Ready(fd_, POLLIN, until)) {
            const net::IoSize n = net::Receive(fd_, scratch, sizeof scratch);
            if (n == 0 || (n < 0 && !net::WouldBlock(net::LastError()) && !net::Interrupted(net::LastError()))) break;
            if (n > 0) dropped += static_cast<std::size_t>(n);
        }
    }

    // Whether bytes of a next request were read with the last one.
    bool Buffered() const { return !ended_ && pos_ < end_; }

    bool is_readable() const override { return !ended_ && (pos_ < end_ || Ready(fd_, POLLIN, deadline_)); }
    bool is_writable() const override { return !ended_ && Ready(fd_, POLLOUT, Clock::now() + limits_.write); }

    ssize_t read(char* ptr, size_t size) override {
        if (ended_) return -1;
        if (pos_ == end_) {
            if (!Ready(fd_, POLLIN, deadline_)) {
                if (head_) Refuse(408, "Request Timeout", "the request did not come in time");
                ended_ = true;
                return -1;
            }
            const ssize_t n = Fill();
            if (n <= 0) return n;
        }
        std::size_t n = std::min(size, end_ - pos_);
        if (head_ && !Count(n)) return -1;
        std::memcpy(ptr, buf_ + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (ended_) return -1;
        return Send(ptr, size, Clock::now() + limits_.write);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    // Reads what is there into the buffer: its size, 0 when the peer
    // closed, -1 on an error.
    ssize_t Fill() {
        for (;;) {
            const net::IoSize n = net::Receive(fd_, buf_, sizeof buf_);
            if (n > 0) {
                pos_ = 0;
                end_ = static_cast<std::size_t>(n);
                return static_cast<ssize_t>(n);
            }
            if (n == 0) return 0;
            const int e = net::LastError();
            if (net::Interrupted(e)) continue;
            if (!net::WouldBlock(e)) return -1;
            if (!Ready(fd_, POLLIN, deadline_)) return -1;
        }
    }

    // Some of what the send takes, before `until`; -1 when nothing could
    // be sent.
    ssize_t Send(const char* data, std::size_t size, Clock::time_point until) {
        for (;;) {
            if (!Ready(fd_, POLLOUT, until)) {
                ended_ = true;
                return -1;
            }
            const net::IoSize n = net::SendSome(fd_, data, size);
            if (n >= 0) return static_cast<ssize_t>(n);
            const int e = net::LastError();
            if (!net::WouldBlock(e) && !net::Interrupted(e)) {
                ended_ = true;
                return -1;
            }
        }
    }

    // Counts the head's bytes and lines among the next `n` bytes, which
    // end at the head's end when it is among them.  False (answered 431)
    // when the head is too large.
    bool Count(std::size_t& n) {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = buf_[pos_ + i];
            ++headBytes_;
            if (c == '\n') {
                ++lines_;
                if (lineLength_ == 0) {
                    head_ = false;
                    phase_ = kServing;
                    n = i + 1;
                    return true;
                }
                lineLength_ = 0;
            } else if (c != '\r') {
                ++lineLength_;
            }
            // The request line and `headLines` header lines.
            if (headBytes_ > limits_.headBytes || lines_ > limits_.headLines + 1) {
                Refuse(431, "Request Header Fields Too Large",
                       "a request's head may hold " + std::to_string(limits_.headLines) + " header lines and " +
                           std::to_string(limits_.headBytes / 1024) + " KB");
                return false;
            }
        }
        return true;
    }

    const Socket fd_;
    const HttpLimits& limits_;
    std::atomic<int>& phase_;
    char buf_[4096];
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    bool head_ = true;
    std::size_t headBytes_ = 0;
    std::size_t lines_ = 0;
    std::size_t lineLength_ = 0;
    Clock::time_point deadline_ = Clock::now();
};

// One connection, from its accept to its close.  The watcher owns it while
// it waits for a request, a thread while it is queued or served; `open`
// counts it throughout.
struct Peer {
    Peer(Socket socket, std::string from, const HttpLimits& limits, std::size_t requests)
        : fd(socket), address(std::move(from)), stream(socket, limits, phase), left(requests) {}
    const Socket fd;
    const std::string address;
    std::atomic<int> phase{kWaiting};
    GuardedStream stream;
    std::size_t left;                // requests it may still make
    Clock::time_point idleSince{};   // with the watcher: since when, and
    Clock::time_point idleUntil{};   // until when it may stay silent
    Clock::time_point queuedAt{};    // queued for a thread since
};

}  // namespace

struct HttpConnections : std::enable_shared_from_this<HttpConnections> {
    HttpConnections(GuardedServer& s, const HttpLimits& l) : server(&s), limits(l) {
        net::WakePair(wake);
    }
    ~HttpConnections() {
        for (Peer* c : open) {
            net::Close(c->fd);
            delete c;
        }
        if (wake[0] != net::kNoSocket) net::Close(wake[0]);
        if (wake[1] != net::kNoSocket) net::Close(wake[1]);
    }
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

    // Wakes the watcher out of its poll.
    void Wake() const {
        const char c = 1;
        if (wake[1] != net::kNoSocket && net::WriteWake(wake[1], &c, 1) < 0) {
            // Full: the watcher has wake-ups enough waiting.
        }
    }

    // Closes and forgets a connection.  Under the lock.
    void Close(Peer* c) {
        open.remove(c);
        net::Shutdown(c->fd, net::kShutBoth);
        net::Close(c->fd);
        delete c;
    }

    // Hands a connection whose request's first byte came to a thread: one
    // waiting for work when there is one not yet called for another
    // connection, a new one otherwise while there are fewer than the
    // limit.  (A thread that was called stays counted as waiting until it
    // takes its connection: the queued connections are counted against
    // the waiting threads, so that a burst never waits for a thread slow
    // to wake.)  Under the lock.
    void Dispatch(Peer* c) {
        c->phase = kQueued;
        c->queuedAt = Clock::now();
        ready.push_back(c);
        if (waiting >= ready.size()) {
            more.notify_one();
        } else {
            StartThread();
        }
    }

    // A new thread while there are fewer than the limit.  Under the lock.
    void StartThread() {
        if (running >= limits.threads) return;
        ++running;
        ++starting;
        std::thread([self = shared_from_this()] { self->Work(); }).detach();
    }

    void Work() {
        std::unique_lock<std::mutex> hold(lock);
        --starting;
        for (;;) {
            ++waiting;
            bool work = more.wait_for(hold, kThreadIdleEnd, [&] { return !ready.empty() || stop; });
            if (limits.onThreadWake) {
                hold.unlock();
                limits.onThreadWake();
                hold.lock();
                work = !ready.empty() || stop;
            }
            --waiting;
            if (ready.empty()) {
                if (!work || stop) break;
                continue;
            }
            Peer* c = ready.front();
            ready.pop_front();
            if (stop) {
                Close(c);
                continue;
            }
            c->phase = kHead;
            hold.unlock();
            const bool keep = server->ServeRequests(c);
            hold.lock();
            if (keep && !stop) {
                c->phase = kWaiting;
                back.push_back(c);
                Wake();
            } else {
                Close(c);
            }
        }
        --running;
        ended.notify_all();
    }

    GuardedServer* const server;
    const HttpLimits limits;
    mutable std::mutex lock;
    std::condition_variable more, ended;
    std::list<Peer*> open;       // every connection accepted, oldest first
    std::deque<Peer*> ready;     // first byte come, waiting for a thread
    std::vector<Peer*> back;     // answered, for the watcher again
    std::size_t running = 0;           // threads
    std::size_t waiting = 0;           // of them, waiting for a connection
    std::size_t starting = 0;          // of them, not yet running
    bool stop = false;
    std::atomic<bool> stopping{false};
    bool watching = false;             // Serve() runs
    Socket wake[2] = {net::kNoSocket, net::kNoSocket};
};

namespace {

// A refused connection: its answer sent, its request read and dropped
// until the client closes or the drain time is over.
struct Draining {
    Socket fd;
    Clock::time_point until;
    std::size_t dropped = 0;
};

int MillisecondsUntil(Clock::time_point t) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace

GuardedServer::GuardedServer(const HttpLimits& limits)
    : state_(std::make_shared<HttpConnections>(*this, limits)) {}

GuardedServer::~GuardedServer() {
    StopAll();
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) net::Close(sock);
}

int GuardedServer::Bind(const std::string& host, int port) {
    if (port == 0) {
        port = bind_to_any_port(host);
    } else if (!bind_to_port(host, port)) {
        port = 0;
    }
    if (port <= 0) return 0;
    ::listen(svr_sock_, SOMAXCONN);
#ifdef _WIN32
    // Sockets accepted from it inherit its non-blocking mode.
    net::Prepare(svr_sock_);
#else
    fcntl(svr_sock_, F_SETFL, fcntl(svr_sock_, F_GETFL) | O_NONBLOCK);
#endif
    return port;
}

std::size_t GuardedServer::OpenConnections() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->open.size();
}

std::size_t GuardedServer::Threads() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->running;
}

// One function, and long for it: each turn's steps read the same poll set by
// position (the wake socket, the listening socket, the waiting connections,
// then the draining ones), which split apart would be passed from hand to
// hand and could fall out of step.
void GuardedServer::Serve() {
    HttpConnections& s = *state_;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.stop || svr_sock_ == INVALID_SOCKET) return;
        s.watching = true;
    }
    std::vector<Peer*> waiting;  // the watcher's, oldest first
    std::vector<Draining> draining;
    std::vector<net::PollFd> fds;
    Clock::time_point pausedUntil{};

    // Closes the connection of `address` (any, when empty) idle the
    // longest; false when none is idle.  Under the lock.
    auto makeWay = [&](const std::string* address) {
        auto it = std::find_if(waiting.begin(), waiting.end(), [&](Peer* c) {
            char b;
            return (address == nullptr || c->address == *address) &&
                   net::Receive(c->fd, &b, 1, true) < 0;  // not a request just come
        });
        if (it == waiting.end()) return false;
        s.Close(*it);
        waiting.erase(it);
        return true;
    };
    auto refuse = [&](Socket fd) {
        const std::string text = Answer(503, "Service Unavailable", "too many connections from this address");
        if (net::SendSome(fd, text.data(), text.size()) < 0) {
            // The client learns it from the close.
        }
        net::Shutdown(fd, net::kShutWrite);
        draining.push_back({fd, Clock::now() + kDrainTime});
    };
    // Takes a new connection in, counted at once against its address's
    // bound and the service's.  Under the lock.
    auto admit = [&](Socket fd) {
        std::string address;
        int port = 0;
        Address(fd, true, address, port);
        const std::size_t held = static_cast<std::size_t>(
            std::count_if(s.open.begin(), s.open.end(), [&](Peer* c) { return c->address == address; }));
        if ((held >= s.limits.perAddress && !makeWay(&address)) ||
            (s.open.size() >= s.limits.connections && !makeWay(nullptr))) {
            refuse(fd);
            return;
        }
        auto* c = new Peer(fd, address, s.limits, keep_alive_max_count_);
        c->idleSince = Clock::now();
        c->idleUntil = c->idleSince + s.limits.idle;
        s.open.push_back(c);
        waiting.push_back(c);
    };

    for (;;) {
        {
            std::lock_guard<std::mutex> hold(s.lock);
            if (s.stop) break;
            const auto now = Clock::now();
            for (Peer* c : s.back) {
                c->idleSince = now;
                c->idleUntil = now + s.limits.idle;
                waiting.push_back(c);
            }
            s.back.clear();
        }
        const bool listening = Clock::now() >= pausedUntil;
        fds.clear();
        fds.push_back({s.wake[0], POLLIN, 0});
#ifdef _WIN32
        // WSAPoll takes no placeholder entry: while not listening, the
        // place is the wake socket's again, asking for nothing.
        fds.push_back({listening ? static_cast<Socket>(svr_sock_) : s.wake[0], static_cast<short>(listening ? POLLIN : 0), 0});
#else
        fds.push_back({listening ? static_cast<int>(svr_sock_) : -1, POLLIN, 0});
#endif
        Clock::time_point next = listening ? Clock::time_point::max() : pausedUntil;
        for (Peer* c : waiting) {
            fds.push_back({c->fd, POLLIN, 0});
            next = std::min(next, c->idleUntil);
        }
        for (const Draining& d : draining) {
            fds.push_back({d.fd, POLLIN, 0});
            next = std::min(next, d.until);
        }
        {
            std::lock_guard<std::mutex> hold(s.lock);
            if (!s.ready.empty()) {
                next = std::min(next, s.starting > 0 ? Clock::now() + kQueueRescue
                                                     : s.ready.front()->queuedAt + kQueueRescue);
            }
        }
        const int timeout = next == Clock::time_point::max() ? -1 : MillisecondsUntil(next);
        if (net::Poll(fds.data(), fds.size(), timeout) < 0 && !net::Interrupted(net::LastError())) break;

        if (fds[0].revents != 0) {
            char scratch[64];
            while (net::ReadWake(s.wake[0], scratch, sizeof scratch) > 0) {
            }
        }
        const auto now = Clock::now();
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.stop) break;
        // Those waiting: a first byte hands the connection to a thread, a
        // close or the end of its idle time closes it.
        std::size_t at = 2;
        std::vector<Peer*> still;
        still.reserve(waiting.size());
        for (Peer* c : waiting) {
            const short events = fds[at++].revents;
            if (events != 0) {
                char b;
                const net::IoSize n = net::Receive(c->fd, &b, 1, true);
                if (n > 0) {
                    s.Dispatch(c);
                    continue;
                }
                if (n == 0 || (!net::WouldBlock(net::LastError()) && !net::Interrupted(net::LastError()))) {
                    s.Close(c);
                    continue;
                }
            }
            if (now >= c->idleUntil) {
                s.Close(c);
                continue;
            }
            still.push_back(c);
        }
        waiting.swap(still);
        std::vector<Draining> left;
        for (Draining& d : draining) {
            bool done = now >= d.until;
            if (fds[at++].revents != 0) {
                char scratch[4096];
                const net::IoSize n = net::Receive(d.fd, scratch, sizeof scratch);
                if (n > 0) d.dropped += static_cast<std::size_t>(n);
                if (n == 0 || (n < 0 && !net::WouldBlock(net::LastError()) && !net::Interrupted(net::LastError())) ||
                    d.dropped >= kDrainBytes) {
                    done = true;
                }
            }
            if (done) {
                net::Close(d.fd);
            } else {
                left.push_back(d);
            }
        }
        draining.swap(left);
        if (!s.ready.empty() && s.starting == 0 && now - s.ready.front()->queuedAt >= kQueueRescue) s.StartThread();

        if (listening && fds[1].revents != 0) {
            for (int i = 0; i < kAcceptsPerTurn; ++i) {
                const Socket fd = net::Accept(svr_sock_);
                if (fd != net::kNoSocket) {
                    admit(fd);
                    continue;
                }
                const int e = net::LastError();
                if (net::Interrupted(e) || net::Aborted(e)) continue;
                if (net::OutOfDescriptors(e)) {
                    // No descriptor left: an idle connection makes way, or
                    // the queue of the listening socket waits a moment.
                    if (!makeWay(nullptr)) pausedUntil = Clock::now() + kNoDescriptorPause;
                }
                break;
            }
        }
    }

    std::lock_guard<std::mutex> hold(s.lock);
    for (Peer* c : waiting) s.Close(c);
    for (Peer* c : s.back) s.Close(c);
    s.back.clear();
    for (const Draining& d : draining) net::Close(d.fd);
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) net::Close(sock);
    s.watching = false;
    s.ended.notify_all();
}

bool GuardedServer::ServeRequests(void* connection) {
    Peer& c = *static_cast<Peer*>(connection);
    for (;;) {
        if (!c.stream.BeginRequest()) return false;
        bool closed = false;
        const bool ok = process_request(c.stream, c.left <= 1, closed, nullptr);
        if (c.left > 0) --c.left;
        if (!ok || closed || c.left == 0 || state_->stopping) return false;
        // Requests sent one behind the other are answered in turn; a pause
        // gives the connection back to the watcher.
        if (!c.stream.Buffered()) return true;
    }
}

bool GuardedServer::StopAll() {
    HttpConnections& s = *state_;
    std::unique_lock<std::mutex> hold(s.lock);
    s.stop = true;
    s.stopping = true;
    // Connections waiting for a thread or reading a request end now; the
    // watcher closes those waiting for one.
    for (Peer* c : s.open) {
        if (c->phase == kQueued || c->phase == kHead) net::Shutdown(c->fd, net::kShutBoth);
    }
    while (!s.ready.empty()) {
        s.Close(s.ready.front());
        s.ready.pop_front();
    }
    s.more.notify_all();
    s.Wake();
    s.ended.wait(hold, [&] { return !s.watching; });
    s.ended.wait_for(hold, s.limits.stopWait, [&] { return s.running == 0; });
    for (Peer* c : s.open) net::Shutdown(c->fd, net::kShutBoth);
    return s.running == 0;
}

}  // namespace talvo::service

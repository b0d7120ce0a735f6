#include "http_server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace talvo::service {
namespace {

using Clock = std::chrono::steady_clock;

// A refused connection's request is read and dropped for this long before
// the close, so that the client reads the answer rather than a reset.
constexpr std::chrono::milliseconds kDrainTime{300};
constexpr std::size_t kDrainBytes = 256 * 1024;

// httplib's task queue: a thread per connection up to a limit, the threads
// ending when there is nothing to do for a while.  Beyond the limit,
// connections wait for a thread.
class ConnectionThreads : public httplib::TaskQueue {
public:
    ConnectionThreads(std::shared_ptr<HttpConnections> state, const HttpLimits& limits)
        : state_(std::move(state)), limits_(limits) {}
    ~ConnectionThreads() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        HttpConnections& s = *state_;
        std::unique_lock<std::mutex> hold(s.lock);
        s.jobs.push_back(std::move(fn));
        if (s.idle == 0 && s.running < limits_.threads) {
            ++s.running;
            std::thread([state = state_] { Work(*state); }).detach();
        } else {
            s.more.notify_one();
        }
    }

    void shutdown() override {
        HttpConnections& s = *state_;
        std::unique_lock<std::mutex> hold(s.lock);
        s.stop = true;
        s.more.notify_all();
        s.ended.wait_for(hold, limits_.stopWait, [&] { return s.running == 0; });
    }

private:
    static void Work(HttpConnections& s) {
        std::unique_lock<std::mutex> hold(s.lock);
        for (;;) {
            ++s.idle;
            const bool work = s.more.wait_for(hold, std::chrono::seconds(10), [&] { return !s.jobs.empty() || s.stop; });
            --s.idle;
            if (!work || s.jobs.empty()) break;
            auto fn = std::move(s.jobs.front());
            s.jobs.pop_front();
            hold.unlock();
            fn();
            hold.lock();
        }
        --s.running;
        s.ended.notify_all();
    }

    std::shared_ptr<HttpConnections> state_;
    const HttpLimits limits_;
};

// "1.2.3.4" or "::1" and the port of a socket's peer (or its own end).
void Address(int fd, bool peer, std::string& ip, int& port) {
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
bool Ready(int fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return true;
    }
}

// A connection as httplib reads and writes it, counting a request's head
// as it passes and keeping its deadlines.
class GuardedStream final : public httplib::Stream {
public:
    GuardedStream(int fd, const HttpLimits& limits, std::atomic<int>& phase)
        : fd_(fd), limits_(limits), phase_(phase) {}

    // Waits for the next request's first byte: false when the connection
    // was closed or stayed silent for the idle time.
    bool AwaitRequest() {
        if (ended_) return false;
        deadline_ = Clock::now() + limits_.idle;
        if (pos_ == end_ && (!Ready(fd_, POLLIN, deadline_) || Fill() <= 0)) return false;
        head_ = true;
        phase_ = HttpConnections::kHead;
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
        const std::string body = "{\"error\":\"" + why + "\"}";
        const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                                 "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
        Send(text.data(), text.size(), Clock::now() + std::chrono::seconds(1));
        ended_ = true;
        shutdown(fd_, SHUT_WR);
        const auto until = Clock::now() + kDrainTime;
        std::size_t dropped = 0;
        char scratch[4096];
        while (dropped < kDrainBytes && Ready(fd_, POLLIN, until)) {
            const ssize_t n = recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0) dropped += static_cast<std::size_t>(n);
        }
    }

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
            const ssize_t n = recv(fd_, buf_, sizeof buf_, MSG_DONTWAIT);
            if (n > 0) {
                pos_ = 0;
                end_ = static_cast<std::size_t>(n);
                return n;
            }
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
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
            const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
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
                    phase_ = HttpConnections::kServing;
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

    const int fd_;
    const HttpLimits limits_;
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

}  // namespace

GuardedServer::GuardedServer(const HttpLimits& limits) : limits_(limits) {
    new_task_queue = [state = state_, limits] { return new ConnectionThreads(state, limits); };
}

GuardedServer::~GuardedServer() { EndConnections(true); }

void GuardedServer::EndConnections(bool serving) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->stop = true;
    for (HttpConnections::Open* o : state_->open) {
        if (o->fd >= 0 && (serving || o->phase != HttpConnections::kServing)) ::shutdown(o->fd, SHUT_RDWR);
    }
}

int GuardedServer::Bind(const std::string& host, int port) {
    if (port == 0) {
        port = bind_to_any_port(host);
    } else if (!bind_to_port(host, port)) {
        port = 0;
    }
    if (port <= 0) return 0;
    ::listen(svr_sock_, SOMAXCONN);
    return port;
}

bool GuardedServer::StopAll() {
    EndConnections(false);
    stop();
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->ended.wait_for(hold, limits_.stopWait, [&] { return state_->running == 0; });
    hold.unlock();
    EndConnections(true);
    hold.lock();
    return state_->running == 0;
}

bool GuardedServer::Admit(HttpConnections::Open& c) {
    HttpConnections& s = *state_;
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.stop) return false;
    std::size_t held = 0;
    HttpConnections::Open* idlest = nullptr;
    for (HttpConnections::Open* o : s.open) {
        if (o->fd < 0 || o->address != c.address) continue;
        ++held;
        if (o->phase == HttpConnections::kWaiting && idlest == nullptr) idlest = o;
    }
    if (held >= limits_.perAddress) {
        if (idlest == nullptr) return false;
        ::shutdown(idlest->fd, SHUT_RDWR);
        idlest->fd = -1;  // closed by its own thread; no longer counted
    }
    s.open.push_back(&c);
    return true;
}

void GuardedServer::Forget(HttpConnections::Open& c) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->open.remove(&c);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    HttpConnections::Open c;
    c.fd = sock;
    int port = 0;
    Address(sock, true, c.address, port);
    GuardedStream stream(sock, limits_, c.phase);
    bool ok = false;
    if (!Admit(c)) {
        bool stopping;
        {
            std::lock_guard<std::mutex> hold(state_->lock);
            stopping = state_->stop;
        }
        if (!stopping) stream.Refuse(503, "Service Unavailable", "too many connections from this address");
    } else {
        for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
            if (!stream.AwaitRequest()) break;
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed) break;
            std::lock_guard<std::mutex> hold(state_->lock);
            if (c.fd < 0 || state_->stop) break;
            c.phase = HttpConnections::kWaiting;
        }
        Forget(c);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

}  // namespace talvo::service

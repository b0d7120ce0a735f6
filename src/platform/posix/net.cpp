// TCP connections on POSIX systems.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/platform.h"

namespace talvo::platform::net {
namespace {

std::uint32_t NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// What is left of a limit that started at `start`.
int Remaining(std::uint32_t start, std::uint32_t limitMs) {
    const std::uint32_t elapsed = NowMs() - start;
    return elapsed >= limitMs ? 0 : static_cast<int>(limitMs - elapsed);
}

std::string ErrnoText(int code) { return std::strerror(code); }

// Keepalive after 5 s idle, probes 2 s apart, 3 unanswered end the
// connection; data unacknowledged for 10 s ends it too.
void Tune(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#ifdef TCP_KEEPIDLE
    int idle = 5, interval = 2, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef TCP_USER_TIMEOUT
    unsigned int unacknowledged = 10000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
#endif
}

// One connection attempt to one address within the time left.
int ConnectOne(const addrinfo* a, std::uint32_t start, std::uint32_t limitMs, Failure& failure, std::string& reason) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
        failure = Failure::kConnect;
        reason = ErrnoText(errno);
        return -1;
    }
    Tune(fd);
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        for (;;) {
            rc = ::poll(&p, 1, Remaining(start, limitMs));
            if (rc < 0 && errno == EINTR) continue;
            break;
        }
        if (rc == 0) {
            ::close(fd);
            failure = Failure::kConnect;
            reason = "no answer within " + std::to_string(limitMs) + " ms";
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (rc < 0) {
            error = errno;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        rc = error == 0 ? 0 : -1;
        errno = error;
    }
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        failure = Failure::kConnect;
        reason = ErrnoText(error);
        return -1;
    }
    return fd;
}

}  // namespace

Handle Connect(const std::string& host, std::uint16_t port, std::uint32_t limitMs, Failure& failure,
               std::string& reason) {
    const std::uint32_t start = NowMs();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY || rc == EAI_NODATA) {
        // Without a configured address of a family (a host with loopback
        // only) a numeric address of it is still worth a try.
        hints.ai_flags = 0;
        rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    }
    if (rc != 0) {
        failure = Failure::kResolve;
        reason = rc == EAI_SYSTEM ? ErrnoText(errno) : ::gai_strerror(rc);
        return kNoSocket;
    }
    int fd = -1;
    failure = Failure::kConnect;
    reason = "no address";
    for (const addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        if (a != list && Remaining(start, limitMs) == 0) break;
        fd = ConnectOne(a, start, limitMs, failure, reason);
    }
    ::freeaddrinfo(list);
    if (fd < 0) return kNoSocket;
    failure = Failure::kNone;
    reason.clear();
    return fd;
}

void Close(Handle h) {
    if (h >= 0) ::close(static_cast<int>(h));
}

bool WriteAll(Handle h, const unsigned char* data, std::uint32_t count, std::uint32_t limitMs, std::string& reason) {
    const int fd = static_cast<int>(h);
    // The limit starts when the connection first takes nothing: a request
    // that leaves at once needs no clock.
    std::uint32_t start = 0;
    bool waiting = false;
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t w = ::send(fd, data + done, count - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<std::uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (!waiting) {
                start = NowMs();
                waiting = true;
            }
            const int left = Remaining(start, limitMs);
            if (left == 0 || (::poll(&p, 1, left) == 0)) {
                reason = "the connection took nothing for " + std::to_string(limitMs) + " ms";
                return false;
            }
            continue;
        }
        reason = ErrnoText(errno);
        return false;
    }
    return true;
}

long Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs, std::string& reason) {
    const int fd = static_cast<int>(h);
    const std::uint32_t start = waitMs == 0 ? 0 : NowMs();
    // A wait starts with the poll: right after a request the reply is not
    // there yet, and a receive that finds nothing would be a call wasted.
    bool ready = waitMs == 0;
    bool first = true;
    for (;;) {
        if (!ready) {
            pollfd p{fd, POLLIN, 0};
            const int rc = ::poll(&p, 1, first ? static_cast<int>(waitMs) : Remaining(start, waitMs));
            first = false;
            if (rc == 0) return 0;
            if (rc < 0 && errno != EINTR) {
                reason = ErrnoText(errno);
                return -1;
            }
        }
        ready = false;
        const ssize_t n = ::recv(fd, buffer, capacity, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            reason = "the device server closed the connection";
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            reason = ErrnoText(errno);
            return -1;
        }
        if (waitMs == 0 || Remaining(start, waitMs) == 0) return 0;
    }
}

}  // namespace talvo::platform::net

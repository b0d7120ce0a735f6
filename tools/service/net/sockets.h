// The few socket calls the service makes itself (its HTTP server's
// connections, a device server's probe), in one form for POSIX and for
// Winsock: non-blocking sockets that are not inherited by child processes,
// poll() or WSAPoll(), and the error of the last call.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>
#include <cstring>
#include <string>

namespace talvo::service::net {

#ifdef _WIN32
using Socket = SOCKET;
using PollFd = WSAPOLLFD;
inline const Socket kNoSocket = INVALID_SOCKET;
using IoSize = long long;
constexpr int kShutWrite = SD_SEND;
constexpr int kShutBoth = SD_BOTH;

inline int LastError() { return WSAGetLastError(); }
inline bool WouldBlock(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
inline bool Interrupted(int e) { return e == WSAEINTR; }
inline bool OutOfDescriptors(int e) { return e == WSAEMFILE || e == WSAENOBUFS; }
inline bool Aborted(int e) { return e == WSAECONNABORTED || e == WSAECONNRESET; }
inline bool TimedOut(int e) { return e == WSAETIMEDOUT; }
constexpr int kTimedOut = WSAETIMEDOUT;

inline int Poll(PollFd* fds, std::size_t n, int timeoutMs) {
    return WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
}
inline void Close(Socket s) { closesocket(s); }
inline void Shutdown(Socket s, int how) { shutdown(s, how); }

// Non-blocking and private to this process.
inline bool Prepare(Socket s) {
    u_long on = 1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
inline Socket OpenStream(int family, int type, int protocol) {
    const Socket s = socket(family, type, protocol);
    if (s != INVALID_SOCKET && !Prepare(s)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
inline Socket Accept(Socket listener) {
    const Socket s = accept(listener, nullptr, nullptr);
    if (s != INVALID_SOCKET) Prepare(s);
    return s;
}
// Sockets are non-blocking from their start here: no flag per call.
inline IoSize Receive(Socket s, void* buffer, std::size_t size, bool peek = false) {
    return recv(s, static_cast<char*>(buffer), static_cast<int>(size), peek ? MSG_PEEK : 0);
}
inline IoSize SendSome(Socket s, const void* data, std::size_t size) {
    return send(s, static_cast<const char*>(data), static_cast<int>(size), 0);
}
inline std::string ErrorText(int e) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(e), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s.empty() ? "error " + std::to_string(e) : s;
}

// A listening address this socket alone may take: SO_REUSEADDR on
// Windows would let a second program bind the same port and take its
// connections; SO_EXCLUSIVEADDRUSE refuses it.
inline void OwnAddress(Socket s) {
    const BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}

// A pair of connected loopback sockets that wakes a WSAPoll (Winsock has
// no pipes to poll): [0] is read, [1] written.
inline bool WakePair(Socket (&pair)[2]) {
    pair[0] = pair[1] = INVALID_SOCKET;
    const Socket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    if (ok) {
        pair[1] = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ok = pair[1] != INVALID_SOCKET && connect(pair[1], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    if (ok) {
        pair[0] = accept(listener, nullptr, nullptr);
        ok = pair[0] != INVALID_SOCKET && Prepare(pair[0]) && Prepare(pair[1]);
    }
    closesocket(listener);
    if (!ok) {
        if (pair[0] != INVALID_SOCKET) closesocket(pair[0]);
        if (pair[1] != INVALID_SOCKET) closesocket(pair[1]);
        pair[0] = pair[1] = INVALID_SOCKET;
    }
    return ok;
}
inline IoSize ReadWake(Socket s, void* buffer, std::size_t size) { return Receive(s, buffer, size); }
inline IoSize WriteWake(Socket s, const void* data, std::size_t size) { return SendSome(s, data, size); }
#else
using Socket = int;
using PollFd = pollfd;
constexpr Socket kNoSocket = -1;
using IoSize = ssize_t;
constexpr int kShutWrite = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;

inline int LastError() { return errno; }
inline bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS; }
inline bool Interrupted(int e) { return e == EINTR; }
inline bool OutOfDescriptors(int e) { return e == EMFILE || e == ENFILE; }
inline bool Aborted(int e) { return e == ECONNABORTED; }
constexpr int kTimedOut = ETIMEDOUT;

inline int Poll(PollFd* fds, std::size_t n, int timeoutMs) { return poll(fds, n, timeoutMs); }
inline void Close(Socket s) { ::close(s); }
inline void Shutdown(Socket s, int how) { ::shutdown(s, how); }
inline Socket OpenStream(int family, int type, int protocol) {
    return socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}
inline Socket Accept(Socket listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }
inline IoSize Receive(Socket s, void* buffer, std::size_t size, bool peek = false) {
    return recv(s, buffer, size, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
}
inline IoSize SendSome(Socket s, const void* data, std::size_t size) {
    return send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}
inline std::string ErrorText(int e) { return std::strerror(e); }

// Bound again at once after a restart (a closed connection's TIME_WAIT
// does not hold the port), and by this socket alone (no SO_REUSEPORT).
inline void OwnAddress(Socket s) {
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

inline bool WakePair(Socket (&pair)[2]) {
    if (pipe2(pair, O_NONBLOCK | O_CLOEXEC) == 0) return true;
    pair[0] = pair[1] = -1;
    return false;
}
inline IoSize ReadWake(Socket s, void* buffer, std::size_t size) { return ::read(s, buffer, size); }
inline IoSize WriteWake(Socket s, const void* data, std::size_t size) { return ::write(s, data, size); }
#endif

}  // namespace talvo::service::net

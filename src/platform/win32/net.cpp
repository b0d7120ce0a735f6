// TCP connections on Windows (Winsock 2).  Every socket holds one
// reference of the Winsock library: it is started with the first and
// cleaned up with the last, never from the module's load or unload step.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace talvo::platform::net {
namespace {

int Remaining(DWORD start, std::uint32_t limitMs) {
    const DWORD elapsed = ::GetTickCount() - start;
    return elapsed >= limitMs ? 0 : static_cast<int>(limitMs - elapsed);
}

std::string SystemText(int code) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    if (s.empty()) s = "Winsock error " + std::to_string(code);
    return s;
}

// Waits up to `ms` until the socket is readable (or writable): 1 ready,
// 0 not within the time, -1 failed.
int WaitFor(SOCKET s, bool write, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int rc = ::select(0, write ? nullptr : &set, write ? &set : nullptr, write ? &failed : nullptr, &tv);
    if (rc > 0 && write && FD_ISSET(s, &failed)) return -1;
    return rc;
}

// Keepalive after 5 s idle, probes 2 s apart; data unacknowledged for 10 s
// ends the connection.
void Tune(SOCKET s) {
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive keep{1, 5000, 2000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
    DWORD seconds = 10;
    ::setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

SOCKET ConnectOne(const addrinfo* a, DWORD start, std::uint32_t limitMs, Failure& failure, std::string& reason) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        failure = Failure::kConnect;
        reason = SystemText(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    Tune(s);
    int error = 0;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const int rc = WaitFor(s, true, Remaining(start, limitMs));
            if (rc == 0) {
                ::closesocket(s);
                failure = Failure::kConnect;
                reason = "no answer within " + std::to_string(limitMs) + " ms";
                return INVALID_SOCKET;
            }
            error = 0;
            int length = sizeof error;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
                error = ::WSAGetLastError();
            }
            if (rc < 0 && error == 0) error = WSAECONNREFUSED;
        }
    }
    if (error != 0) {
        ::closesocket(s);
        failure = Failure::kConnect;
        reason = SystemText(error);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

Handle Connect(const std::string& host, std::uint16_t port, std::uint32_t limitMs, Failure& failure,
               std::string& reason) {
    const DWORD start = ::GetTickCount();
    WSADATA data;
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        failure = Failure::kConnect;
        reason = SystemText(started);
        return kNoSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        failure = Failure::kResolve;
        reason = SystemText(rc);
        ::WSACleanup();
        return kNoSocket;
    }
    SOCKET s = INVALID_SOCKET;
    failure = Failure::kConnect;
    reason = "no address";
    for (const addrinfo* a = list; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        if (a != list && Remaining(start, limitMs) == 0) break;
        s = ConnectOne(a, start, limitMs, failure, reason);
    }
    ::freeaddrinfo(list);
    if (s == INVALID_SOCKET) {
        ::WSACleanup();
        return kNoSocket;
    }
    failure = Failure::kNone;
    reason.clear();
    return static_cast<Handle>(s);
}

void Close(Handle h) {
    if (h == kNoSocket) return;
    ::closesocket(static_cast<SOCKET>(h));
    ::WSACleanup();
}

bool WriteAll(Handle h, const unsigned char* data, std::uint32_t count, std::uint32_t limitMs, std::string& reason) {
    const SOCKET s = static_cast<SOCKET>(h);
    const DWORD start = ::GetTickCount();
    std::uint32_t done = 0;
    while (done < count) {
        const int w = ::send(s, reinterpret_cast<const char*>(data + done), static_cast<int>(count - done), 0);
        if (w > 0) {
            done += static_cast<std::uint32_t>(w);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (w < 0 && error == WSAEWOULDBLOCK) {
            const int left = Remaining(start, limitMs);
            if (left == 0 || WaitFor(s, true, left) == 0) {
                reason = "the connection took nothing for " + std::to_string(limitMs) + " ms";
                return false;
            }
            continue;
        }
        reason = SystemText(error);
        return false;
    }
    return true;
}

long Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs, std::string& reason) {
    const SOCKET s = static_cast<SOCKET>(h);
    const DWORD start = ::GetTickCount();
    for (;;) {
        const int n = ::recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
        if (n > 0) return n;
        if (n == 0) {
            reason = "the device server closed the connection";
            return -1;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            reason = SystemText(error);
            return -1;
        }
        const int left = Remaining(start, waitMs);
        if (left == 0 || WaitFor(s, false, left) == 0) return 0;
    }
}

}  // namespace talvo::platform::net

#include "line/device_probe.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "net/sockets.h"
#include "talvo.h"

namespace talvo::service {
namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
    net::Socket fd = net::kNoSocket;
    ~Fd() {
        if (fd != net::kNoSocket) net::Close(fd);
    }
};

int Left(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Connects to one address within the deadline: 0, or the errno why not
// (ETIMEDOUT when the deadline ran out).
int ConnectOne(const addrinfo& a, Clock::time_point end, Fd& s) {
    s.fd = net::OpenStream(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s.fd == net::kNoSocket) return net::LastError();
    if (connect(s.fd, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0) return 0;
    if (!net::WouldBlock(net::LastError())) return net::LastError();
    net::PollFd p{s.fd, POLLOUT, 0};
    int rc;
    while ((rc = net::Poll(&p, 1, Left(end))) < 0 && net::Interrupted(net::LastError())) {
    }
    if (rc == 0) return net::kTimedOut;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) return net::LastError();
    return error;
}

// What a device server sent before it closed a new connection, when it
// reads as text.
std::string Said(const std::string& bytes) {
    std::string text = bytes;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (const char c : text) {
        if (c < ' ' || c > '~') return std::string();
    }
    return text.empty() ? text : " after it said \"" + text + "\"";
}

}  // namespace

ProbeResult ProbeDevice(const std::string& device, std::uint32_t limitMs) {
    ProbeResult r;
    int network = 0;
    char why[512] = {};
    if (talvo_device_check(device.c_str(), &network, why, sizeof why) != TALVO_OK) {
        r.malformed = true;
        r.ok = false;
        r.problem = why;
        return r;
    }
    if (network == 0) {
#ifdef _WIN32
        // COM3 or \\.\COM12: a name the system knows as a device now.
        std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
        char target[512];
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
            r.ok = false;
            r.problem = name + " is not there now: " + net::ErrorText(static_cast<int>(GetLastError()));
        }
        return r;
#else
        struct stat st {};
        const std::string path = device.find('/') == std::string::npos ? "/dev/" + device : device;
        if (stat(path.c_str(), &st) != 0) {
            r.ok = false;
            r.problem = path + " is not there now: " + std::strerror(errno);
        }
        return r;
#endif
    }
    // scheme://host:port, or scheme://[v6 address]:port; the form is checked.
    const std::string rest = device.substr(device.find("://") + 3);
    std::string host = rest.substr(0, rest.rfind(':'));
    const std::string port = rest.substr(rest.rfind(':') + 1);
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limitMs);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (gai != 0) {
        r.ok = false;
        r.problem = "cannot resolve the host \"" + host + "\": " + gai_strerror(gai);
        return r;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> hold(found, freeaddrinfo);
    int error = net::kTimedOut;
    Fd s;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        Fd attempt;
        error = ConnectOne(*a, end, attempt);
        if (error == 0) {
            std::swap(s.fd, attempt.fd);
            break;
        }
        if (Left(end) == 0) break;
    }
    if (error != 0) {
        r.ok = false;
        r.problem = "cannot connect to " + device + ": " + net::ErrorText(error);
        return r;
    }
    // A device server that serves the port to another client takes the
    // connection and closes it at once, often with a line of text.
    std::string bytes;
    const Clock::time_point closeBy = std::min(end, Clock::now() + std::chrono::milliseconds(300));
    for (;;) {
        net::PollFd p{s.fd, POLLIN, 0};
        const int rc = net::Poll(&p, 1, Left(closeBy));
        if (rc < 0 && net::Interrupted(net::LastError())) continue;
        if (rc <= 0) break;
        char chunk[256];
        const net::IoSize n = net::Receive(s.fd, chunk, sizeof chunk);
        if (n > 0) {
            if (bytes.size() < 256) bytes.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (net::WouldBlock(net::LastError()) || net::Interrupted(net::LastError()))) continue;
        r.ok = false;
        r.problem = device + " closed a new connection at once" + Said(bytes) +
                    ": another client may hold the port";
        break;
    }
    return r;
}

}  // namespace talvo::service

#include "rogue_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <stdexcept>

namespace talvo::test {

RoguePeer::RoguePeer(Mode mode, std::string text) : mode_(mode), text_(std::move(text)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        if (listener_ >= 0) close(listener_);
        throw std::runtime_error("cannot listen on the loopback");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

RoguePeer::~RoguePeer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    close(listener_);
    std::lock_guard<std::mutex> hold(lock_);
    for (std::thread& t : connections_) t.join();
}

void RoguePeer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        ++open_;
        std::lock_guard<std::mutex> hold(lock_);
        connections_.emplace_back([this, fd] { Serve(fd); });
    }
}

void RoguePeer::Serve(int fd) {
    if (mode_ == Mode::kBusy) {
        send(fd, text_.data(), text_.size(), MSG_NOSIGNAL);
        close(fd);
        --open_;
        return;
    }
    // Random bytes without end, as fast as the connection takes them.
    std::mt19937 random(static_cast<unsigned>(fd) * 2654435761u);
    std::vector<unsigned char> block(64 * 1024);
    while (!stop_) {
        for (unsigned char& b : block) b = static_cast<unsigned char>(random());
        std::size_t at = 0;
        while (!stop_ && at < block.size()) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            if ((p.revents & (POLLERR | POLLHUP)) != 0) break;
            const ssize_t n = send(fd, block.data() + at, block.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n < 0) break;
            at += static_cast<std::size_t>(n);
            sent_ += static_cast<std::uint64_t>(n);
        }
        if (at < block.size()) break;
    }
    close(fd);
    --open_;
}

}  // namespace talvo::test

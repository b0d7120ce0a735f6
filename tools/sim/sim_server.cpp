#include "sim_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

namespace talvo::sim {
namespace {

void SleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

Server::~Server() {
    CloseLine();
    if (listen_ >= 0) close(listen_);
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
}

bool Server::OpenLine(const std::string& device, const std::string& link) {
    device_ = device;
    link_ = link;
    if (!device.empty()) {
        master_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0) return false;
        MakeRaw(master_);
        devicePath_ = device;
        return true;
    }
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const char* name = ptsname(master_);
    if (name == nullptr) return false;
    devicePath_ = name;
    // Keep the slave open ourselves, or reads of the master fail once the
    // library closes its end.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    MakeRaw(slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(name, link.c_str()) != 0) return false;
    }
    return true;
}

void Server::CloseLine() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
    if (!link_.empty()) unlink(link_.c_str());
}

bool Server::Listen(int port) {
    if (pipe(wake_) != 0) return false;
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return false;
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (listen(listen_, 8) != 0) return false;
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    controlPort_ = ntohs(addr.sin_port);
    return true;
}

void Server::Stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t r = write(wake_[1], &c, 1);
    }
}

std::string Server::Control(const std::string& command) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (command == "reopen") {
        CloseLine();
        return OpenLine(device_, link_) ? "ok " + devicePath_ : "err cannot open the line";
    }
    if (command == "device") return "ok " + devicePath_;
    return line_.Control(command);
}

void Server::WritePaced(const std::string& bytes) {
    if (master_ < 0) return;
    const int baud = line_.paceBaud;
    std::size_t chunk = baud > 0 ? 4 : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        std::size_t n = std::min(chunk, bytes.size() - at);
        if (baud > 0) std::this_thread::sleep_for(std::chrono::microseconds(n * 10'000'000 / static_cast<unsigned>(baud)));
        std::size_t done = 0;
        while (done < n) {
            ssize_t w = write(master_, bytes.data() + at + done, n - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master_, POLLOUT, 0};
                poll(&p, 1, 100);
            } else {
                return;
            }
        }
    }
}

void Server::Serve(const Action& action) {
    if (action.closeLine) {
        CloseLine();
        return;
    }
    if (action.silent) return;
    SleepMs(action.delayMs);
    for (std::size_t i = 0; i < action.pieces.size(); ++i) {
        if (i > 0) SleepMs(action.gapMs);
        WritePaced(action.pieces[i]);
    }
}

void Server::Run() {
    std::map<int, std::string> clients;  // socket -> partial line
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listen_, POLLIN, 0});
        fds.push_back({master_, POLLIN, 0});
        for (auto& c : clients) fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[1].revents & POLLIN) {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) clients[c] = std::string();
        }
        if (master_ >= 0 && fds[2].fd == master_ && (fds[2].revents & (POLLIN | POLLHUP))) {
            unsigned char buffer[2048];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                std::vector<Action> actions;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    // Pacing: the request itself takes its time on the line.
                    if (line_.paceBaud > 0) {
                        std::this_thread::sleep_for(
                            std::chrono::microseconds(static_cast<unsigned>(n) * 10'000'000u / static_cast<unsigned>(line_.paceBaud)));
                    }
                    actions = line_.Feed(buffer, static_cast<std::size_t>(n));
                    for (const Action& a : actions) Serve(a);
                }
            } else if (fds[2].revents & POLLHUP) {
                SleepMs(5);  // no opener on the other side yet
            }
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            int c = fds[i].fd;
            char buffer[4096];
            ssize_t n = read(c, buffer, sizeof buffer);
            if (n <= 0) {
                close(c);
                clients.erase(c);
                continue;
            }
            std::string& partial = clients[c];
            partial.append(buffer, static_cast<std::size_t>(n));
            std::size_t eol;
            while ((eol = partial.find('\n')) != std::string::npos) {
                std::string command = partial.substr(0, eol);
                partial.erase(0, eol + 1);
                if (!command.empty() && command.back() == '\r') command.pop_back();
                std::string answer = Control(command) + "\n";
                std::size_t done = 0;
                while (done < answer.size()) {
                    ssize_t w = write(c, answer.data() + done, answer.size() - done);
                    if (w <= 0) break;
                    done += static_cast<std::size_t>(w);
                }
            }
        }
    }
    for (auto& c : clients) close(c.first);
}

}  // namespace talvo::sim

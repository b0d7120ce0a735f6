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
#include <algorithm>
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
    Stop();
    {
        std::unique_lock<std::mutex> hold(runMutex_);
        runEnded_.wait(hold, [this] { return !running_; });
    }
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
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

void Server::Wake() {
    if (wake_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t r = write(wake_[1], &c, 1);
    }
}

void Server::Stop() {
    stop_ = true;
    Wake();
}

std::string Server::Control(const std::string& command) {
    std::string answer;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const std::string verb = command.substr(0, command.find_first_of(" \t"));
        if (verb == "reopen" || verb == "device") {
            if (command.find_first_not_of(" \t", verb.size()) != std::string::npos) {
                return "error: " + verb + " takes no arguments";
            }
            if (verb == "device") return "ok " + devicePath_;
            CloseLine();
            output_.clear();
            answer = OpenLine(device_, link_) ? "ok " + devicePath_ : "error: cannot open the line";
        } else {
            answer = line_.Control(command);
            // Replies still waiting belong to the terminals just forgotten.
            if (verb == "reset" && answer == "ok") output_.clear();
        }
    }
    Wake();  // the loop polls the line anew
    return answer;
}

void Server::Queue(const Action& action, Clock::time_point start) {
    if (action.silent) return;
    Clock::time_point at = std::max(start, output_.empty() ? start : output_.back().due);
    if (action.closeLine) {
        output_.push_back({at, std::string(), true});
        return;
    }
    at += std::chrono::milliseconds(action.delayMs);
    const int baud = line_.paceBaud;
    for (std::size_t i = 0; i < action.pieces.size(); ++i) {
        if (i > 0) at += std::chrono::milliseconds(action.gapMs);
        const std::string& piece = action.pieces[i];
        if (baud <= 0) {
            output_.push_back({at, piece, false});
            continue;
        }
        // Paced: four bytes at a time, each after its time on the line.
        for (std::size_t k = 0; k < piece.size(); k += 4) {
            const std::size_t n = std::min<std::size_t>(4, piece.size() - k);
            at += std::chrono::microseconds(n * 10'000'000 / static_cast<unsigned>(baud));
            output_.push_back({at, piece.substr(k, n), false});
        }
    }
}

void Server::ReadLine() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (master_ < 0) return;
    // A bounded amount per turn, so that the control channel is served
    // between the reads of a flood.
    unsigned char buffer[16384];
    for (int turn = 0; turn < 16; ++turn) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) SleepMs(5);  // no opener on the other side yet
            return;
        }
        Clock::time_point start = Clock::now();
        // Pacing: the request itself takes its time on the line.
        if (line_.paceBaud > 0) {
            start += std::chrono::microseconds(static_cast<unsigned>(n) * 10'000'000u /
                                               static_cast<unsigned>(line_.paceBaud));
        }
        for (const Action& a : line_.Feed(buffer, static_cast<std::size_t>(n))) Queue(a, start);
    }
}

void Server::WriteLine() {
    std::lock_guard<std::mutex> hold(mutex_);
    const Clock::time_point now = Clock::now();
    while (!output_.empty() && output_.front().due <= now) {
        Output& head = output_.front();
        if (head.closeLine) {
            CloseLine();
            output_.pop_front();
            continue;
        }
        if (master_ < 0) {
            output_.pop_front();
            continue;
        }
        const ssize_t w = write(master_, head.bytes.data(), head.bytes.size());
        if (w > 0) {
            head.bytes.erase(0, static_cast<std::size_t>(w));
            if (head.bytes.empty()) output_.pop_front();
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            // Nobody reads the line: drop what has waited too long.
            if (now - head.due > kStaleOutput) {
                output_.pop_front();
                continue;
            }
            return;
        }
        output_.pop_front();  // the line is gone
    }
}

void Server::ServeClient(int fd, Client& client, short events) {
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[16384];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            client.closed = true;
            return;
        }
        if (n > 0) client.in.append(buffer, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = client.in.find('\n')) != std::string::npos) {
            std::string command = client.in.substr(0, eol);
            client.in.erase(0, eol + 1);
            if (!command.empty() && command.back() == '\r') command.pop_back();
            if (client.overlong) {
                client.overlong = false;
                client.out += "error: control line longer than " + std::to_string(kMaxControlLine) + " bytes\n";
                continue;
            }
            client.out += Control(command) + "\n";
        }
        if (client.in.size() > kMaxControlLine) {
            client.in.clear();
            client.overlong = true;
        }
    }
    while (!client.out.empty()) {
        const ssize_t w = send(fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (w <= 0) break;
        client.out.erase(0, static_cast<std::size_t>(w));
    }
    // A client that asks and never reads its answers is let go.
    if (client.out.size() > kMaxClientOutput) client.closed = true;
}

void Server::Run() {
    {
        std::lock_guard<std::mutex> hold(runMutex_);
        running_ = true;
    }
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listen_, POLLIN, 0});
        int timeout = 200;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            short lineEvents = POLLIN;
            if (!output_.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(output_.front().due - Clock::now());
                if (wait.count() <= 0) {
                    lineEvents |= POLLOUT;
                    timeout = 50;  // to drop output that nobody takes
                } else {
                    timeout = static_cast<int>(std::min<long long>(timeout, wait.count() + 1));
                }
            }
            fds.push_back({master_, lineEvents, 0});
        }
        for (auto& [fd, client] : clients_) {
            fds.push_back({fd, static_cast<short>(POLLIN | (client.out.empty() ? 0 : POLLOUT)), 0});
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) clients_[c] = Client();
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadLine();
        WriteLine();
        for (std::size_t i = 3; i < fds.size(); ++i) {
            auto it = clients_.find(fds[i].fd);
            if (it == clients_.end()) continue;
            ServeClient(it->first, it->second, fds[i].revents);
            if (it->second.closed) {
                close(it->first);
                clients_.erase(it);
            }
        }
    }
    for (auto& c : clients_) close(c.first);
    clients_.clear();
    std::lock_guard<std::mutex> hold(runMutex_);
    running_ = false;
    runEnded_.notify_all();
}

}  // namespace talvo::sim

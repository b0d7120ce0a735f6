#include "sim_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
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
#include <cstring>
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
    if (lineListen_ >= 0) close(lineListen_);
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
    if (net_ != 0) {
        // A network line: the connection ends; the next one is the line.
        if (master_ >= 0) close(master_);
        master_ = -1;
        return;
    }
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
        if (verb == "net") {
            answer = NetControl(command);
        } else if (verb == "reopen" && net_ != 0) {
            answer = "ok " + devicePath_;
        } else if (verb == "reopen" || verb == "device") {
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
        std::string piece = action.pieces[i];
        if (net_ == 2) {
            // Telnet: a 0xFF data byte goes out doubled.
            std::string escaped;
            for (char c : piece) {
                escaped.push_back(c);
                if (static_cast<unsigned char>(c) == 0xFF) escaped.push_back(c);
            }
            piece.swap(escaped);
        }
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
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (net_ != 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))) {
            CloseLine();  // the client went away
            output_.clear();
            return;
        }
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) SleepMs(5);  // no opener on the other side yet
            return;
        }
        if (mute_) continue;
        if (net_ == 2) {
            n = static_cast<ssize_t>(Telnet(buffer, static_cast<std::size_t>(n)));
            if (n == 0) continue;
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
        std::size_t size = head.bytes.size();
        if (cutAfter_ >= 0 && size > static_cast<std::size_t>(cutAfter_)) size = static_cast<std::size_t>(cutAfter_);
        if (cutAfter_ == 0) {
            // Closes the connection in the middle of a reply.
            cutAfter_ = -1;
            CloseLine();
            output_.clear();
            return;
        }
        const ssize_t w = net_ != 0 ? send(master_, head.bytes.data(), size, MSG_NOSIGNAL)
                                    : write(master_, head.bytes.data(), size);
        if (w > 0 && cutAfter_ > 0) cutAfter_ -= w;
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
            fds.push_back({lineListen_, POLLIN, 0});
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
        if (fds[3].fd >= 0 && (fds[3].revents & POLLIN)) AcceptLine();
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadLine();
        WriteLine();
        for (std::size_t i = 4; i < fds.size(); ++i) {
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

// ---- Network lines ------------------------------------------------------------

namespace {
constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr unsigned char kComPort = 44;
}  // namespace

bool Server::ListenLine(const std::string& where, std::string& error) {
    const std::size_t colon = where.find(':');
    const std::size_t last = where.rfind(':');
    const std::string scheme = where.substr(0, colon);
    if (colon == std::string::npos || last == colon || (scheme != "tcp" && scheme != "rfc2217")) {
        error = "--listen wants tcp:HOST:PORT or rfc2217:HOST:PORT, not " + where;
        return false;
    }
    std::string host = where.substr(colon + 1, last - colon - 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port = where.substr(last + 1);
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 0 || number > 65535) {
        error = "--listen: bad port " + port;
        return false;
    }
    net_ = scheme == "tcp" ? 1 : 2;
    lineHost_ = host;
    linePort_ = static_cast<int>(number);
    if (!BindLine()) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        return false;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    devicePath_ = scheme + "://" + shown + ":" + std::to_string(linePort_);
    return true;
}

bool Server::BindLine() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* list = nullptr;
    if (getaddrinfo(lineHost_.c_str(), std::to_string(linePort_).c_str(), &hints, &list) != 0 || list == nullptr) {
        errno = EINVAL;
        return false;
    }
    const int fd = socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 8) != 0) {
        const int saved = errno;
        if (fd >= 0) close(fd);
        freeaddrinfo(list);
        errno = saved;
        return false;
    }
    freeaddrinfo(list);
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    linePort_ = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    lineListen_ = fd;
    return true;
}

void Server::AcceptLine() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (lineListen_ < 0) return;
    const int c = accept4(lineListen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) return;
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    CloseLine();
    output_.clear();
    master_ = c;
    ++connections_;
    telnetState_ = 0;
    sub_.clear();
}

void Server::SendNow(const std::string& bytes) {
    if (master_ >= 0) [[maybe_unused]] ssize_t w = send(master_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::string Server::NetControl(const std::string& command) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < command.size()) {
        const std::size_t start = command.find_first_not_of(" \t", i);
        if (start == std::string::npos) break;
        const std::size_t end = command.find_first_of(" \t", start);
        words.push_back(command.substr(start, end == std::string::npos ? std::string::npos : end - start));
        i = end == std::string::npos ? command.size() : end;
    }
    if (net_ == 0) return "error: the line is not served over the network";
    auto onOff = [&](bool& flag) -> std::string {
        if (words.size() != 3 || (words[2] != "on" && words[2] != "off")) return "error: " + words[1] + " takes on or off";
        flag = words[2] == "on";
        return "ok";
    };
    auto number = [&](long& value, long hi) -> bool {
        if (words.size() != 3) return false;
        char* end = nullptr;
        value = std::strtol(words[2].c_str(), &end, 10);
        return !words[2].empty() && *end == '\0' && value >= 0 && value <= hi;
    };
    if (words.size() < 2) return "error: net takes drop, refuse, mute, keepbaud, cut, connections or baud";
    const std::string& what = words[1];
    if (what == "drop" && words.size() == 2) {
        CloseLine();
        output_.clear();
        return "ok";
    }
    if (what == "refuse") {
        bool refuse = refuse_;
        const std::string answer = onOff(refuse);
        if (answer != "ok" || refuse == refuse_) return answer;
        refuse_ = refuse;
        if (refuse) {
            close(lineListen_);
            lineListen_ = -1;
        } else if (!BindLine()) {
            return std::string("error: cannot listen again: ") + std::strerror(errno);
        }
        return "ok";
    }
    if (what == "mute") return onOff(mute_);
    long value = 0;
    if (what == "keepbaud") {
        if (!number(value, 4000000)) return "error: keepbaud takes a baud rate (0: off)";
        keepBaud_ = static_cast<std::uint32_t>(value);
        return "ok";
    }
    if (what == "cut") {
        if (!number(value, 1000000)) return "error: cut takes a byte count";
        cutAfter_ = value;
        return "ok";
    }
    if (what == "connections" && words.size() == 2) return "ok " + std::to_string(connections_);
    if (what == "baud" && words.size() == 2) return "ok " + std::to_string(baud_);
    return "error: unknown net command " + command;
}

std::size_t Server::Telnet(unsigned char* bytes, std::size_t count) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        switch (telnetState_) {
            case 0:
                if (c == kIac) {
                    telnetState_ = 1;
                } else {
                    bytes[out++] = c;
                }
                break;
            case 1:
                if (c == kIac) {
                    bytes[out++] = c;
                    telnetState_ = 0;
                } else if (c == kDo || c == kDont || c == kWill || c == kWont) {
                    verb_ = c;
                    telnetState_ = 2;
                } else if (c == kSb) {
                    sub_.clear();
                    telnetState_ = 3;
                } else {
                    telnetState_ = 0;
                }
                break;
            case 2: {
                // Binary, suppress-go-ahead and the COM port option are
                // taken; everything else is refused.  The client asks once.
                const bool take = c == 0 || c == 3 || c == kComPort;
                if (verb_ == kDo) SendNow({static_cast<char>(kIac), static_cast<char>(take ? kWill : kWont), static_cast<char>(c)});
                if (verb_ == kWill) SendNow({static_cast<char>(kIac), static_cast<char>(take ? kDo : kDont), static_cast<char>(c)});
                telnetState_ = 0;
                break;
            }
            case 3:
                if (c == kIac) {
                    telnetState_ = 4;
                } else if (sub_.size() < 64) {
                    sub_.push_back(static_cast<char>(c));
                }
                break;
            default:
                if (c == kSe) {
                    TelnetSubnegotiation();
                    telnetState_ = 0;
                } else {
                    if (c == kIac && sub_.size() < 64) sub_.push_back(static_cast<char>(c));
                    telnetState_ = c == kIac ? 3 : 0;
                }
                break;
        }
    }
    return out;
}

void Server::TelnetSubnegotiation() {
    if (sub_.size() < 2 || static_cast<unsigned char>(sub_[0]) != kComPort) return;
    const unsigned char code = static_cast<unsigned char>(sub_[1]);
    std::string value = sub_.substr(2);
    if (code == 1 && value.size() == 4) {
        std::uint32_t baud = 0;
        for (char ch : value) baud = (baud << 8) | static_cast<unsigned char>(ch);
        if (baud != 0) baud_ = keepBaud_ != 0 ? keepBaud_ : baud;
        value.clear();
        for (int k = 3; k >= 0; --k) value.push_back(static_cast<char>((baud_ >> (8 * k)) & 0xFF));
    } else if (code == 12) {
        output_.clear();  // the purge: replies not yet sent are dropped
    } else if (code >= 100 || code == 0) {
        return;  // not a client's command
    }
    std::string answer{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                       static_cast<char>(code + 100)};
    for (char ch : value) {
        answer.push_back(ch);
        if (static_cast<unsigned char>(ch) == kIac) answer.push_back(ch);
    }
    answer += std::string{static_cast<char>(kIac), static_cast<char>(kSe)};
    SendNow(answer);
}

}  // namespace talvo::sim

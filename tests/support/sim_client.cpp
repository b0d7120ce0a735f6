#include "sim_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "sim_server.h"
#endif

namespace talvo::test {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

long Connect(const std::string& address) {
    std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) return -1;
#ifdef _WIN32
    static bool started = false;
    if (!started) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        started = true;
    }
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(std::atoi(address.c_str() + colon + 1)));
    addr.sin_addr.s_addr = inet_addr(address.substr(0, colon).c_str());
    auto s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return static_cast<long>(s);
}

#ifndef _WIN32
// The in-process terminal of the Linux tests.
// A terminal on a line of its own, served by a thread that runs until the
// program ends.  It is never destroyed: its thread may still be serving
// while the program's static objects go.
talvo::sim::Server* StartAnother() {
    static auto* servers = new std::vector<talvo::sim::Server*>();  // keeps them reachable
    auto* server = new talvo::sim::Server();
    servers->push_back(server);
    // TALVO_SIM_NET=tcp or rfc2217: the terminals are served over loopback
    // TCP, and the tests run over a network line.
    const std::string net = Env("TALVO_SIM_NET");
    std::string error;
    if (!net.empty()) {
        if (!server->ListenLine(net + ":127.0.0.1:0", error) || !server->Listen(0)) return nullptr;
    } else if (!server->OpenLine("", "") || !server->Listen(0)) {
        return nullptr;
    }
    std::thread([server] { server->Run(); }).detach();
    return server;
}

talvo::sim::Server* StartInProcess() { return StartAnother(); }
#endif

}  // namespace

Sim& Sim::Get() {
    static Sim sim;
    return sim;
}

Sim::Sim() {
    std::string control = Env("TALVO_SIM_CONTROL");
    portName_ = Env("TALVO_SIM_COMNAME");
    if (portName_.empty()) portName_ = Env("TALVO_SIM_DEVICE");
#ifndef _WIN32
    if (control.empty()) {
        talvo::sim::Server* server = StartInProcess();
        if (server == nullptr) return;
        control = "127.0.0.1:" + std::to_string(server->ControlPort());
        portName_ = server->DevicePath();
    }
#endif
    if (!control.empty()) socket_ = Connect(control);
}

Sim::Sim(bool) {
#ifndef _WIN32
    talvo::sim::Server* server = StartAnother();
    if (server == nullptr) return;
    portName_ = server->DevicePath();
    socket_ = Connect("127.0.0.1:" + std::to_string(server->ControlPort()));
#endif
}

Sim* Sim::Another() {
#ifdef _WIN32
    return nullptr;
#else
    return new Sim(true);
#endif
}

std::string Sim::Command(const std::string& line) {
    if (socket_ < 0) return "err no terminal";
    std::string out = line + "\n";
    send(static_cast<int>(socket_), out.data(), static_cast<int>(out.size()), 0);
    for (;;) {
        std::size_t eol = buffered_.find('\n');
        if (eol != std::string::npos) {
            std::string answer = buffered_.substr(0, eol);
            buffered_.erase(0, eol + 1);
            if (answer.rfind("ok ", 0) == 0) {
                // A line opened anew may be another pseudo-terminal; a COM
                // name or a link stays what it was.
                if (line == "reopen" && Env("TALVO_SIM_COMNAME").empty() && Env("TALVO_SIM_DEVICE").empty()) {
                    portName_ = answer.substr(3);
                }
                return answer.substr(3);
            }
            return answer;
        }
        char chunk[8192];
        int n = static_cast<int>(recv(static_cast<int>(socket_), chunk, sizeof chunk, 0));
        if (n <= 0) return "err connection lost";
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string Sim::Ok(const std::string& line) {
    std::string answer = Command(line);
    EXPECT_NE(answer.rfind("err", 0), 0u) << line << ": " << answer;
    return answer == "ok" ? std::string() : answer;
}

std::vector<std::string> Sim::Frames() {
    std::string all = Ok("frames");
    std::vector<std::string> frames;
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = all.find(' ', at);
        if (end == std::string::npos) end = all.size();
        std::string hex = all.substr(at, end - at);
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
        }
        if (!bytes.empty()) frames.push_back(bytes);
        at = end + 1;
    }
    return frames;
}

}  // namespace talvo::test

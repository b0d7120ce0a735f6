#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace talvo::test {

Outcome Run(const std::vector<std::string>& argv, const RunOptions& options) {
    Outcome result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(options.stdin_path.c_str(), O_RDWR | O_NOCTTY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : options.env) {
            const std::size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        if (options.uid != 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (options.close_stdout_early) {
        close(out[0]);
        out[0] = -1;
    }
    char buffer[65536];
    while (out[0] >= 0 || err[0] >= 0) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out[0] : err[0];
            if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                fd = -1;
                continue;
            }
            if (i == 1) {
                result.err.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            result.out_bytes += static_cast<std::size_t>(n);
            result.out_lines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
            if (options.keep_stdout) result.out.append(buffer, static_cast<std::size_t>(n));
        }
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    result.peak_kib = usage.ru_maxrss;
    return result;
}

}  // namespace talvo::test

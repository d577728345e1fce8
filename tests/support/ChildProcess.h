#pragma once
// A helper program (a receiving ffmpeg, a tool) run beside a test: started
// with an argument vector, output to a log file, killed and reaped by the
// test or at the latest by the destructor. Used from the test's thread only.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Quillet::Testing {

class ChildProcess {
public:
    ChildProcess() = default;
    // Started at once (see Start).
    ChildProcess(const std::vector<std::string>& words, const std::string& log, rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        Start(words, log, fileSizeLimit);
    }
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `words[0]` (found on PATH) with the rest as arguments; its
    // standard output and error go to `log`. Under a file-size limit, writes
    // past it fail rather than kill the program.
    bool Start(std::vector<std::string> words, const std::string& log, rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        _log = log;
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        _pid = fork();
        if (_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a crashed test
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                dup2(out, STDERR_FILENO);
            }
            const int in = open("/dev/null", O_RDONLY);
            if (in >= 0)
                dup2(in, STDIN_FILENO);
            if (fileSizeLimit != RLIM_INFINITY) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{fileSizeLimit, fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return _pid > 0;
    }

    // Waits up to `limit` for the program to end by itself; its exit status,
    // or -1 when it is still running.
    int Wait(std::chrono::milliseconds limit = std::chrono::minutes(2))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (_pid > 0) {
            int status = 0;
            if (waitpid(_pid, &status, WNOHANG) == _pid) {
                _pid = -1;
                _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return _status;
    }

    void Signal(int signal) const
    {
        if (_pid > 0)
            ::kill(_pid, signal);
    }

    // The running program's process id; -1 once reaped.
    pid_t Pid() const { return _pid; }

    // Sends `signal` and reaps the program.
    void Kill(int signal = SIGKILL)
    {
        Signal(signal);
        if (Wait(std::chrono::milliseconds(5000)) < 0)
            Signal(SIGKILL), Wait(std::chrono::milliseconds(5000));
    }

    std::string Log() const
    {
        std::ifstream in(_log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    pid_t _pid = -1;
    int _status = -1;
    std::string _log;
};

// Waits up to `limit` until something listens on 127.0.0.1:`port` (TCP) or
// has bound it (UDP), by reading the kernel's socket tables: probing with a
// connection would use up a receiver that accepts one client only.
inline bool WaitForLocalPort(int port, bool udp, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream table(udp ? "/proc/net/udp" : "/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0 && (udp || state == "0A"))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace Quillet::Testing

#include "camera/RtspTestServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace QuilletTest {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

std::string ScriptPath()
{
    namespace fs = std::filesystem;
    // The shared tools folder sits beside the checkout.
    const fs::path checkout = fs::path(__FILE__).parent_path().parent_path().parent_path();
    for (const fs::path& candidate : {checkout.parent_path() / "shared/tools/rtsp_test_server.py",
                                      fs::path("/work/shared/tools/rtsp_test_server.py")}) {
        std::error_code error;
        if (fs::exists(candidate, error))
            return candidate.string();
    }
    return {};
}

} // namespace

bool RtspTestServer::Available()
{
    static const bool available = [] {
        if (ScriptPath().empty() || access(kPython, X_OK) != 0)
            return false;
        const std::string probe = std::string(kPython) +
                                  " -c \"import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer\" >/dev/null 2>&1";
        return std::system(probe.c_str()) == 0;
    }();
    return available;
}

bool RtspTestServer::Start(const std::vector<std::string>& arguments)
{
    const std::string script = ScriptPath();
    std::vector<std::string> words{kPython, script, "--port", "0"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        _error = "pipe failed";
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        _error = "fork failed";
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return false;
    }
    if (pid == 0) {
        // A test process that dies abnormally must not leave its camera behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(pipeEnds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDERR_FILENO);
        execv(kPython, argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    _pid = pid;
    _output = pipeEnds[0];

    // The server keeps writing to this pipe, so it stays open until Kill.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{_output, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = read(_output, buffer, sizeof(buffer));
        if (got <= 0)
            break;
        text.append(buffer, std::size_t(got));
        const std::size_t ready = text.find("READY ");
        if (ready != std::string::npos) {
            const std::size_t end = text.find('\n', ready);
            if (end != std::string::npos) {
                _url = text.substr(ready + 6, end - ready - 6);
                return true;
            }
        }
        if (text.find("ERROR") != std::string::npos)
            break;
    }
    _error = "server did not start: " + text;
    Kill();
    return false;
}

void RtspTestServer::Signal(int signal) const
{
    if (_pid > 0)
        kill(_pid, signal);
}

void RtspTestServer::Kill()
{
    if (_pid > 0) {
        kill(_pid, SIGCONT);
        kill(_pid, SIGKILL);
        int status = 0;
        waitpid(_pid, &status, 0);
        _pid = -1;
    }
    if (_output >= 0) {
        close(_output);
        _output = -1;
    }
}

RtspTestServer::~RtspTestServer()
{
    Kill();
}

int UnusedLocalPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd); // never listened: connections are refused
    return port;
}

} // namespace QuilletTest

#include "camera/RtspTestServer.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
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

bool RtspTestServer::Start(const std::vector<std::string>& arguments, Camera camera)
{
    static std::atomic<int> serial{0};
    _log = (std::filesystem::temp_directory_path() /
            ("rtsp_test_server_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".log"))
               .string();
    std::vector<std::string> words{kPython, camera == Camera::Stamped ? QUILLET_STAMP_CAMERA : ScriptPath(), "--port", "0"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    // The server announces "READY <url>" once it listens.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (bool started = _process.Start(words, _log); started && std::chrono::steady_clock::now() < deadline;) {
        const std::string text = _process.Log();
        const size_t ready = text.find("READY ");
        const size_t end = text.find('\n', ready);
        if (ready != std::string::npos && end != std::string::npos) {
            _url = text.substr(ready + 6, end - ready - 6);
            return true;
        }
        if (text.find("ERROR") != std::string::npos || _process.Wait(std::chrono::milliseconds(0)) >= 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    _error = "server did not start: " + _process.Log();
    Kill();
    return false;
}

void RtspTestServer::Kill()
{
    _process.Kill();
    std::error_code ignored;
    if (!_log.empty())
        std::filesystem::remove(_log, ignored);
    _log.clear();
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

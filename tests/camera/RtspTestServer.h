#pragma once
// A real RTSP server on 127.0.0.1 for the camera-client tests: the shared
// GStreamer test camera, spawned per test on a free port.
#include <string>
#include <sys/types.h>
#include <vector>

namespace QuilletTest {

class RtspTestServer {
public:
    // True when /usr/bin/python3 has GStreamer's RTSP server bindings.
    static bool Available();

    RtspTestServer() = default;
    ~RtspTestServer();
    RtspTestServer(const RtspTestServer&) = delete;
    RtspTestServer& operator=(const RtspTestServer&) = delete;

    // Starts the server (extra arguments go to the script) and waits for it
    // to listen. False, with the reason in Error(), when it did not.
    bool Start(const std::vector<std::string>& arguments = {});
    // rtsp://127.0.0.1:<port> (mounts /test, /pcmu, /video).
    const std::string& Url() const { return _url; }
    const std::string& Error() const { return _error; }
    void Signal(int signal) const;
    // SIGKILL and reap.
    void Kill();

private:
    pid_t _pid = -1;
    int _output = -1;
    std::string _url;
    std::string _error;
};

// A TCP port on 127.0.0.1 with nothing listening on it.
int UnusedLocalPort();

} // namespace QuilletTest

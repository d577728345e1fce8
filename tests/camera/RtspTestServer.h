#pragma once
// A real RTSP server on 127.0.0.1 for the camera tests and benchmarks: the
// shared GStreamer test camera, or the project's camera that stamps capture
// times into its pictures (stamp_camera.py, read with PictureStamp.h),
// spawned on a free port. Used from the test's thread only.
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace QuilletTest {

class RtspTestServer {
public:
    // True when /usr/bin/python3 has GStreamer's RTSP server bindings.
    static bool Available();

    RtspTestServer() = default;
    ~RtspTestServer() { Kill(); }

    enum class Camera { Shared, Stamped };
    // Starts the server (extra arguments go to the script) and waits for it
    // to listen. False, with the reason in Error(), when it did not.
    bool Start(const std::vector<std::string>& arguments = {}, Camera camera = Camera::Shared);
    // rtsp://127.0.0.1:<port> (shared: /test, /pcmu, /hevc, /mjpeg, /slices;
    // stamped: /h264, /slices, /hevc-slices, /lossy).
    const std::string& Url() const { return _url; }
    const std::string& Error() const { return _error; }
    // SIGKILL and reap.
    void Kill();

private:
    Quillet::Testing::ChildProcess _process;
    std::string _log;
    std::string _url;
    std::string _error;
};

// A TCP port on 127.0.0.1 with nothing listening on it.
int UnusedLocalPort();

} // namespace QuilletTest

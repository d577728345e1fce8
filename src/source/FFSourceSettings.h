#pragma once
// Connection settings of a live camera, filled by the facades and handed from
// engine to source. A plain record shared through a shared_ptr.
#include <string>

namespace Quillet {

struct FFSourceSettings {
    // Interleave RTP over the RTSP TCP connection instead of UDP.
    bool streamUsingTCP = true;
    // Let the camera client filter/estimate packet times.
    bool useTimeFilter = true;
    // Request only the video stream.
    bool useOnlyVideo = false;
    // The camera client insists on RTCP sender reports.
    bool requireRTCP = true;
    bool createTimingLog = false;
    std::string timingLogFolder;
    std::string username;
    std::string password;
    double audioLatencyMs = 0.0;
    double videoLatencyMs = 0.0;
    double syncShiftMs = 0.0;
    // Both timeouts reach the camera client as whole milliseconds.
    double rtcpTimeoutMs = 30000.0;
    double packetTimeoutMs = 10000.0;
    // Video decoding threads for a camera that is also shown: 0 automatic
    // (slice threads, nothing held back), 1 the reading thread alone.
    int decodingThreads = 1;
};

} // namespace Quillet

#pragma once
// Connection settings of a live camera: the one record the application fills
// (as the facade's SourceSettings, which adds nothing), the facade hands to
// the engine and the engine to the camera source. Each default is defined
// here only. A plain record shared through a shared_ptr and not changed once
// shared. Public header: standard library only.
#include <string>

#include "../Export.h"

namespace Quillet {

/// Settings of a live camera connection; the application uses it as FFWrapperCLI::SourceSettings.
struct QUILLET_EXPORT FFSourceSettings {
    /// Carry the media over the RTSP TCP connection instead of UDP.
    bool streamUsingTCP = true;
    /// Smooth the local-clock estimate used until the camera's first RTCP sender report.
    bool useTimeFilter = true;
    /// Ask the camera for its video stream only.
    bool useOnlyVideo = false;
    /// Treat a camera that sends no RTCP sender report within rtcpTimeoutMs as failed.
    bool requireRTCP = true;
    /// Write one CSV line per received packet with its times into timingLogFolder.
    bool createTimingLog = false;
    /// Folder of the timing log.
    std::string timingLogFolder;
    /// User name for the camera, empty for none.
    std::string username;
    /// Password for the camera, empty for none.
    std::string password;
    /// Milliseconds subtracted from the wall-clock time of audio packets.
    double audioLatencyMs = 0.0;
    /// Milliseconds subtracted from the wall-clock time of video packets.
    double videoLatencyMs = 0.0;
    /// Milliseconds added to the wall-clock time of every packet.
    double syncShiftMs = 0.0;
    /// How long to wait for the camera's first RTCP sender report, in milliseconds (the camera
    /// client takes whole milliseconds).
    double rtcpTimeoutMs = 30000.0;
    /// No packet for this many milliseconds ends the connection (and starts a reconnect).
    double packetTimeoutMs = 10000.0;
    /// Video decoding threads when the camera is also shown: 0 automatic
    /// (slice threads, no picture held back, but one thread for a camera that
    /// codes each picture as one slice), 1 the reading thread alone, N that
    /// many slice threads (a camera never gets frame threads, which would hold
    /// N-1 pictures back).
    int decodingThreads = 1;
    /// How the player reads the camera when the application reads slower than it sends, as the
    /// numbers of FFWrapperCLI::LiveReading: 0 (Newest, the default) always the newest picture,
    /// the ones before it given up; 1 (Every) every picture in order, up to about 10 s or 64 MB
    /// behind, then on from the newest key picture. Recording and serving never depend on it.
    int liveReading = 0;
};

} // namespace Quillet

#pragma once
// Connection settings of the camera client, applied at the next Connect.
// The camera source fills them from the application's FFSourceSettings; the
// defaults here are what a camera opened without such a record uses (UDP, no
// time filter), so they differ from that record's on purpose.
// A plain record: copied into the client by SetupSource on the caller's thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "camera/MediaPacket.h"

namespace Quillet {

struct RTSPSourceSettings {
    bool streamUsingTCP = false;
    // Smooth the local-clock estimate used until the first RTCP report.
    bool enableTimeFilter = false;
    // A camera that sends no RTCP sender report within rtcpTimeoutMs is
    // treated as failed (IsRunning turns false).
    bool requireRTCP = true;
    std::string username;
    std::string password;
    // One CSV line per packet with its times, in timingLogFolder.
    bool createTimingLog = false;
    std::string timingLogFolder;
    // Subtracted from the wall-clock time of video/audio packets.
    double audioLatencyMs = 0.0;
    double videoLatencyMs = 0.0;
    // Added to the wall-clock time of every packet.
    double syncShiftMs = 0.0;
    // No packet for this long (or no answer while connecting) ends the stream.
    int32_t packetTimeoutMs = 10000;
    // Each step of connecting (reaching the camera, each request) gives up
    // after this long when it is shorter than packetTimeoutMs; 0: not set.
    int32_t connectTimeoutMs = 0;
    int32_t rtcpTimeoutMs = 30000;
    std::vector<MediaPacket::MediaType> mediaTypes{MediaPacket::Video, MediaPacket::Audio};
    std::string logPrefix = "FF: ";
    // Packets waiting for ReadFrame; when full the oldest is dropped.
    std::size_t maxQueuedPackets = 1000;
    // Asked while connecting (on the thread in Connect, at least every 50 ms):
    // true gives up at once, so the application can cancel a connect that
    // would otherwise wait out the whole packet timeout. None by default.
    std::function<bool()> cancel;
};

} // namespace Quillet

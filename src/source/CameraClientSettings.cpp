#include "source/CameraClientSettings.h"

namespace Quillet {
namespace {

int32_t WholeMilliseconds(double ms) { return static_cast<int32_t>(ms); }

} // namespace

RTSPSourceSettings CameraClientSettings(const FFSourceSettings* s)
{
    // Without a record the camera client keeps its own defaults.
    RTSPSourceSettings settings;
    if (!s)
        return settings;
    settings.streamUsingTCP = s->streamUsingTCP;
    settings.enableTimeFilter = s->useTimeFilter;
    settings.requireRTCP = s->requireRTCP;
    settings.username = s->username;
    settings.password = s->password;
    settings.createTimingLog = s->createTimingLog;
    settings.timingLogFolder = s->timingLogFolder;
    settings.audioLatencyMs = s->audioLatencyMs;
    settings.videoLatencyMs = s->videoLatencyMs;
    settings.syncShiftMs = s->syncShiftMs;
    settings.packetTimeoutMs = WholeMilliseconds(s->packetTimeoutMs);
    settings.rtcpTimeoutMs = WholeMilliseconds(s->rtcpTimeoutMs);
    if (s->useOnlyVideo)
        settings.mediaTypes = {MediaPacket::Video};
    return settings;
}

} // namespace Quillet

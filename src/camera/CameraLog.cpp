#include "camera/CameraLog.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace Quillet {
namespace {

std::mutex& SinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

CameraLogSink& Sink()
{
    static CameraLogSink sink;
    return sink;
}

int ToAvLevel(CameraLogLevel level)
{
    switch (level) {
    case CameraLogLevel::Debug: return AV_LOG_DEBUG;
    case CameraLogLevel::Info: return AV_LOG_INFO;
    case CameraLogLevel::Warn: return AV_LOG_WARNING;
    case CameraLogLevel::Error: return AV_LOG_ERROR;
    }
    return AV_LOG_INFO;
}

} // namespace

void SetCameraLogSink(CameraLogSink sink)
{
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(sink);
}

void CameraLog(CameraLogLevel level, const std::string& prefix, const std::string& text)
{
    const std::string line = prefix + text;
    {
        std::lock_guard lock(SinkMutex());
        if (Sink()) {
            Sink()(level, line);
            return;
        }
    }
    av_log(nullptr, ToAvLevel(level), "%s\n", line.c_str());
}

} // namespace Quillet

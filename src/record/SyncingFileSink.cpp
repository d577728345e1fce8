#include "record/SyncingFileSink.h"

#include <chrono>
#include <cstdio>
#include <ctime>

extern "C" {
#include <libavutil/avutil.h>
}

namespace Quillet {
namespace {

constexpr int64_t kTicksPerMillisecond = 10000;
// Dates the calendar formatting accepts: 1970-01-01 up to the end of 3000.
constexpr int64_t kLastFormattableSecond = 32535215999;

} // namespace

SyncingFileSink::SyncingFileSink(WallClock clock) : _clock(clock ? std::move(clock) : WallClock(SystemUtcTicks))
{
    _nextSyncTime = _clock();
}

std::time_t SyncingFileSink::_Now() const
{
    return static_cast<std::time_t>(_clock() / kTicksPerSecond);
}

int64_t SyncingFileSink::SystemUtcTicks()
{
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

std::string SyncingFileSink::FormatUtcTicks(int64_t ticks)
{
    const int64_t seconds = ticks / kTicksPerSecond;
    const int milliseconds = static_cast<int>((ticks % kTicksPerSecond) / kTicksPerMillisecond);
    if (ticks < 0 || seconds > kLastFormattableSecond)
        return "Invalid timepoint";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&t, &utc))
        return "Invalid timepoint";
    char text[100];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    if (n == 0)
        return "Invalid timepoint";
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", milliseconds);
    return std::string(text, n) + millis;
}

void SyncingFileSink::_WritingFirstPacket(const FFPacket& packet)
{
    LogInfo() << "SyncingFileSink::_WritingFirstPacket";
    _fileStartTS = _FirstTS();
    _SendSyncInfo(packet);
}

void SyncingFileSink::_WritingPacket(const FFPacket& packet)
{
    if (_clock() >= _nextSyncTime) {
        LogInfo() << "Intermediary sync";
        _SendSyncInfo(packet);
    }
}

void SyncingFileSink::_WroteLastPacket(const FFPacket& packet)
{
    LogInfo() << "SyncingFileSink::_WroteLastPacket";
    _SendSyncInfo(packet);
}

void SyncingFileSink::_SendSyncInfo(const FFPacket& packet)
{
    LogInfo() << "SyncingFileSink::_SendSyncInfo";
    const AVPacket* p = packet.Get();
    const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;

    const FFFile* file = _CurrentFile();
    double tb = 0.0;
    if (file && file->GetCodec() && file->GetCodec()->video) {
        const AVRational r = file->GetCodec()->video->TimeBase();
        tb = static_cast<double>(r.num) / r.den;
    }

    FFSyncPointArgs args;
    args.videoTime = static_cast<double>(ts) * tb - _fileStartTS;
    args.PCTimeUTC = packet.liveTime;
    args.fileName = file ? file->GetFileName() : std::string("NoFile");
    args.isGood = packet.liveFlag;
    RaiseEvent(args);

    LogInfo() << args.fileName << " Sending sync. File pos: " << args.videoTime
              << " System Clock: " << FormatUtcTicks(args.PCTimeUTC);

    _nextSyncTime = _clock() + _syncInterval * kTicksPerSecond;

    if (ts == _lastSyncPts)
        LogInfo() << "_SendSyncInfo called for the same pts twice in a row, pts: " << ts << " filepos "
                  << args.videoTime << " [sec]";
    _lastSyncPts = ts;
}

} // namespace Quillet

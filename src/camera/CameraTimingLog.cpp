#include "camera/CameraTimingLog.h"

#include <atomic>
#include <ctime>

#include "camera/CameraLog.h"

namespace Quillet {
namespace {

std::string TimestampForFileName()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &utc);
    return text;
}

} // namespace

void CameraTimingLog::Open(const std::string& folder, const std::string& logPrefix)
{
    static std::atomic<unsigned> counter{0};
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/rtsp-timing-" + TimestampForFileName() +
                             "-" + std::to_string(++counter) + ".csv";
    _file.open(path);
    if (!_file) {
        CameraLog(CameraLogLevel::Warn, logPrefix, "Cannot write the timing log " + path);
        return;
    }
    _file << "media,configId,key,timestamp,estimated,pcTimeUTC,receivedUTC,trustIndex,size\n";
    CameraLog(CameraLogLevel::Info, logPrefix, "Timing log " + path);
}

void CameraTimingLog::Write(const MediaPacketStruct& packet)
{
    if (!_file.is_open())
        return;
    const TimingDataStruct& t = *packet.timing;
    _file << (packet.mediaType == MediaPacket::Video ? "video" : "audio") << ',' << packet.configId << ','
          << int(packet.frameType) << ',' << t.timestamp << ',' << int(t.timestampEstimated) << ',' << t.pcTimeUTC
          << ',' << t.receivedUTC << ',' << int(t.trustIndex) << ',' << packet.size << '\n';
}

void CameraTimingLog::Close()
{
    if (_file.is_open())
        _file.close();
}

} // namespace Quillet

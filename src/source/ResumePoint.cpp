#include "source/ResumePoint.h"

namespace Quillet {

int64_t ResumePoint::TimeOf(const AVPacket& packet)
{
    return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
}

void ResumePoint::Delivered(int stream, int64_t time)
{
    if (time != AV_NOPTS_VALUE)
        _newest[stream] = time;
}

void ResumePoint::Forget()
{
    _newest.clear();
    _passingOver.clear();
    _awaitedKeyIn = -1;
}

int64_t ResumePoint::NewestIn(int stream) const
{
    const auto found = _newest.find(stream);
    return found == _newest.end() ? AV_NOPTS_VALUE : found->second;
}

void ResumePoint::PassOverDelivered()
{
    _passingOver.clear();
    for (const auto& newest : _newest)
        _passingOver.insert(newest.first);
}

void ResumePoint::PassOverUntilKeyPicture(int videoStream)
{
    _passingOver.clear();
    _awaitedKeyIn = videoStream;
}

bool ResumePoint::PassesOver(const AVPacket& packet)
{
    if (_awaitedKeyIn >= 0) {
        if (packet.stream_index != _awaitedKeyIn || !(packet.flags & AV_PKT_FLAG_KEY) ||
            TimeOf(packet) == AV_NOPTS_VALUE)
            return true;
        _awaitedKeyIn = -1;
        return false;
    }
    if (!_passingOver.count(packet.stream_index))
        return false;
    // Decode times rise within a stream: the first packet past the newest
    // handed on, and every one after it, is new.
    const int64_t time = TimeOf(packet);
    if (time != AV_NOPTS_VALUE && time <= NewestIn(packet.stream_index))
        return true;
    _passingOver.erase(packet.stream_index);
    return false;
}

} // namespace Quillet

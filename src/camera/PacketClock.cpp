#include "camera/PacketClock.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace Quillet {

bool HasSenderReportBase(int64_t startTimeRealtime)
{
    return startTimeRealtime != AV_NOPTS_VALUE && startTimeRealtime > 0;
}

PacketClock::PacketClock(AVRational timeBase, bool filter) : _timeBase(timeBase), _filter(filter) {}

WallTime PacketClock::Estimate(int64_t timestamp, bool timestampKnown, int64_t receivedUs,
                               int64_t senderReportBaseUs, int64_t producerTimeUs)
{
    const int64_t mediaUs = av_rescale_q(timestamp, _timeBase, AVRational{1, 1000000});
    if (HasSenderReportBase(senderReportBaseUs))
        return {senderReportBaseUs + mediaUs, MediaPacket::SenderReport};
    if (producerTimeUs >= 0)
        return {producerTimeUs, MediaPacket::SenderReport};
    if (!_filter || !timestampKnown)
        return {receivedUs, MediaPacket::LocalClock};
    const int64_t offset = receivedUs - mediaUs;
    if (!_haveOffset || offset < _minOffsetUs) {
        _minOffsetUs = offset;
        _haveOffset = true;
    }
    return {_minOffsetUs + mediaUs, MediaPacket::FilteredLocalClock};
}

} // namespace Quillet

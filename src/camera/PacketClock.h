#pragma once
// Wall-clock time of one stream's packets. Once the camera's RTCP sender
// reports have been seen, FFmpeg knows the wall time of pts 0
// (start_time_realtime) and every packet's time follows from its pts. Before
// that only this PC's clock is available: either the reception time as is,
// or (filtered) the reception time of the least delayed packet so far carried
// forward by the timestamps, which removes network and buffering jitter.
// Each stream's clock belongs to its connection's reader thread; no lock.
#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

#include "camera/MediaPacket.h"

namespace Quillet {

struct WallTime {
    int64_t microseconds = 0; // since 1970-01-01 UTC
    MediaPacket::TimeEstimateTrustIndex trust = MediaPacket::LocalClock;
};

class PacketClock {
public:
    PacketClock(AVRational timeBase, bool filter);

    // senderReportBaseUs: wall time of pts 0 from RTCP, or <= 0 / AV_NOPTS_VALUE
    // while unknown. producerTimeUs: FFmpeg's per-packet reference time, or a
    // negative value without one.
    WallTime Estimate(int64_t timestamp, bool timestampKnown, int64_t receivedUs,
                      int64_t senderReportBaseUs, int64_t producerTimeUs);

private:
    AVRational _timeBase;
    bool _filter;
    bool _haveOffset = false;
    int64_t _minOffsetUs = 0; // reception time minus media time, smallest seen
};

// Valid when FFmpeg has seen a sender report.
bool HasSenderReportBase(int64_t startTimeRealtime);

} // namespace Quillet

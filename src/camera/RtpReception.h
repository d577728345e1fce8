#pragma once
// What the receiving end of one RTP stream keeps track of (RFC 3550): which
// packets were lost or came late, the stream's timestamps on one unbroken
// media clock (also across a camera that restarts with a new source id),
// the wall-clock time of that clock from the camera's RTCP sender reports,
// and the receiver reports that tell the camera how reception goes.
//
// Threads: belongs to its connection's reader (before the reader starts, to
// the thread in Open); no lock.
#include <cstdint>
#include <vector>

#include "camera/RtpDepacketizer.h"

namespace Quillet {

class RtpReception {
public:
    explicit RtpReception(int clockRate) : _clockRate(clockRate > 0 ? clockRate : 90000) {}

    // False for a packet that comes after later ones were taken (late or
    // repeated): it is left out. `lossBefore`: packets are missing before it.
    bool Arrive(const RtpPacketView& packet, int64_t nowUs, bool& lossBefore);
    // The RTP timestamp on the media clock: clock ticks since the first packet.
    int64_t MediaTime(uint32_t rtpTimestamp) const;
    // A sender report of the stream's source; true for the first one.
    bool SenderReport(uint32_t ssrc, uint64_t ntpTime, uint32_t rtpTimestamp, int64_t nowUs);
    // Wall-clock time (microseconds since 1970) of media time 0, from the
    // latest sender report; -1 before any since the source began.
    int64_t WallOfMediaZeroUs() const { return _wallOfZeroUs; }
    // A compound RTCP receiver report with its CNAME, or empty before any
    // packet came.
    std::vector<uint8_t> ReceiverReport(uint32_t ownSsrc, int64_t nowUs);
    uint64_t Lost() const { return _lost; }

private:
    const int _clockRate;
    bool _started = false;
    uint32_t _ssrc = 0;
    uint16_t _maxSequence = 0;
    uint32_t _cycles = 0;
    uint32_t _baseSequence = 0;
    uint64_t _received = 0;
    uint64_t _lost = 0;
    uint64_t _expectedAtReport = 0;
    uint64_t _receivedAtReport = 0;
    // The media clock: the last timestamp seen and where it lies on it.
    uint32_t _lastTimestamp = 0;
    int64_t _lastMediaTime = 0;
    int64_t _step = 0; // the last forward step between timestamps
    // Interarrival jitter in clock ticks (RFC 3550 A.8), scaled by 16.
    int64_t _jitter16 = 0;
    int64_t _lastTransit = 0;
    bool _haveTransit = false;
    // The latest sender report.
    int64_t _wallOfZeroUs = -1;
    uint32_t _lastReportNtpMiddle = 0;
    int64_t _lastReportArrivalUs = 0;
};

} // namespace Quillet

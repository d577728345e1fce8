#pragma once
// What the receiving end of one RTP stream keeps track of (RFC 3550): which
// packets were lost or came late, the stream's timestamps on one unbroken
// media clock (also across a camera that restarts with a new source id),
// the wall-clock time of that clock from the camera's RTCP sender reports,
// and the receiver reports that tell the camera how reception goes.
//
// Packets that arrive out of order (UDP may swap them) are put back in
// order: a packet a few sequence numbers ahead of the next one expected is
// held (a copy) until the gap before it fills. Holding is bounded: at most
// kMostHeld packets, at most kLongestHoldUs after the first was held, and
// never past a marked packet once a packet of a later picture arrives; then
// the gap counts as lost and the held packets go on, flagged after it.
//
// Threads: belongs to its connection's reader (before the reader starts, to
// the thread in Open); no lock.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "camera/RtpDepacketizer.h"

namespace Quillet {

class RtpReception {
public:
    static constexpr int kReorderWindow = 16;   // a packet further ahead is a jump, not a swap
    static constexpr std::size_t kMostHeld = 8;
    static constexpr int64_t kLongestHoldUs = 5'000;

    // A packet to unpack, in sequence order. `lossBefore`: packets are
    // missing between the one before it and it.
    struct Ordered {
        RtpPacketView packet;
        bool lossBefore = false;
    };

    explicit RtpReception(int clockRate) : _clockRate(clockRate > 0 ? clockRate : 90000) {}

    // Takes an arriving packet and appends the packets now in order to
    // `ready`: none while it is held, else it and the held ones it lets go.
    // A packet that comes after later ones were handed on (late or repeated)
    // is left out. The views stay valid until the next Arrive or Expire.
    void Arrive(const RtpPacketView& packet, int64_t nowUs, std::vector<Ordered>& ready);
    // When held packets must go on at the latest (INT64_MAX: none held).
    int64_t HoldDeadlineUs() const { return _held.empty() ? std::numeric_limits<int64_t>::max() : _holdDeadlineUs; }
    // Lets the held packets go when their deadline has passed.
    void Expire(int64_t nowUs, std::vector<Ordered>& ready);
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
    struct Held {
        std::vector<uint8_t> payload;
        RtpPacketView packet; // its payload points into `payload`
        int64_t arrivedUs = 0;
    };
    // The bookkeeping of a packet handed on in order; false when late.
    bool _Accept(const RtpPacketView& packet, int64_t nowUs, bool& lossBefore);
    void _Hand(const RtpPacketView& packet, int64_t arrivedUs, std::vector<Ordered>& ready);
    // Held packets that follow on from the last one handed on, in order.
    void _HandFollowing(std::vector<Ordered>& ready);
    void _HandAllHeld(std::vector<Ordered>& ready);

    const int _clockRate;
    // Held packets by sequence number, and those handed on by the last
    // call (kept until the next, so the views handed out stay valid).
    std::deque<Held> _held;
    std::vector<Held> _handed;
    int64_t _holdDeadlineUs = 0;
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

#pragma once
// When a camera connection has to give up: its user closed it, no packet
// came for the packet timeout, or no RTCP sender report came in time.
//
// Threads: the thread in Open, the reader (packet arrivals, its waits) and
// the user's IsRunning and Close calls all use it at once; every field is
// atomic, so there is no lock.
#include <atomic>
#include <cstdint>

namespace Quillet {

class ConnectionWatch {
public:
    // What a check found for the first time; the caller says so in its log.
    enum class Finding { None, Stalled, NoSenderReport };

    ConnectionWatch(int64_t packetTimeoutUs, int64_t rtcpTimeoutUs, bool requireRtcp)
        : _packetTimeoutUs(packetTimeoutUs), _rtcpTimeoutUs(rtcpTimeoutUs), _requireRtcp(requireRtcp)
    {
    }

    void Interrupt() { _interrupted = true; }
    bool Interrupted() const { return _interrupted; }
    // From now on a gap between packets longer than the timeout is a stall.
    void WatchPackets(int64_t nowUs);
    void PacketArrived(int64_t nowUs) { _lastPacketUs = nowUs; }
    void Connected(int64_t nowUs) { _connectedUs = nowUs; }
    // True the first time.
    bool SenderReportArrived() { return !_senderReportSeen.exchange(true); }
    bool Stalled() const { return _stalled; }

    // For the reader's waits: true when reading must end.
    bool ShouldAbort(int64_t nowUs, Finding& finding);
    // For IsRunning, once connected.
    bool Healthy(int64_t nowUs, Finding& finding);

private:
    bool _CheckStall(int64_t nowUs, Finding& finding);

    // Fixed at construction, then the state every thread reads and writes:
    // each an atomic of its own, so no lock guards them.
    const int64_t _packetTimeoutUs;
    const int64_t _rtcpTimeoutUs;
    const bool _requireRtcp;
    std::atomic<bool> _interrupted{false};
    std::atomic<bool> _watchPackets{false};
    std::atomic<bool> _stalled{false};
    std::atomic<bool> _senderReportSeen{false};
    std::atomic<bool> _rtcpMissing{false};
    std::atomic<int64_t> _lastPacketUs{0};
    std::atomic<int64_t> _connectedUs{0};
};

} // namespace Quillet

#include "camera/ConnectionWatch.h"

namespace Quillet {

void ConnectionWatch::WatchPackets(int64_t nowUs)
{
    _lastPacketUs = nowUs;
    _watchPackets = true;
}

bool ConnectionWatch::_CheckStall(int64_t nowUs, Finding& finding)
{
    if (_stalled)
        return true;
    if (!_watchPackets || nowUs - _lastPacketUs.load() <= _packetTimeoutUs)
        return false;
    if (!_stalled.exchange(true))
        finding = Finding::Stalled;
    return true;
}

bool ConnectionWatch::ShouldAbort(int64_t nowUs, Finding& finding)
{
    return _interrupted || _CheckStall(nowUs, finding);
}

bool ConnectionWatch::Healthy(int64_t nowUs, Finding& finding)
{
    // The reader may sit in a read that has not timed out yet.
    if (_rtcpMissing || _CheckStall(nowUs, finding))
        return false;
    if (_requireRtcp && !_senderReportSeen && nowUs - _connectedUs.load() > _rtcpTimeoutUs) {
        if (!_rtcpMissing.exchange(true))
            finding = Finding::NoSenderReport;
        _interrupted = true;
        return false;
    }
    return true;
}

} // namespace Quillet

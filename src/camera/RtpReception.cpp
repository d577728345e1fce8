#include "camera/RtpReception.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace Quillet {
namespace {

constexpr int kMaxDropout = 3000;     // a forward jump beyond this is a restarted source
constexpr int kMaxMisorder = 100;     // a step back beyond this too
constexpr uint64_t kNtpToUnixSeconds = 2208988800ull;

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    out.insert(out.end(), {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
}

} // namespace

bool RtpReception::_Accept(const RtpPacketView& packet, int64_t nowUs, bool& lossBefore)
{
    lossBefore = false;
    const bool newSource = _started && packet.ssrc != _ssrc;
    if (!_started || newSource) {
        if (newSource) {
            // A camera that restarted: its timestamps go on one step after
            // the last ones, and its old wall-clock anchor no longer holds.
            _lastMediaTime += std::max<int64_t>(_step, 1);
            _wallOfZeroUs = -1;
            lossBefore = true;
        }
        _started = true;
        _ssrc = packet.ssrc;
        _maxSequence = packet.sequence;
        _baseSequence = packet.sequence;
        _cycles = 0;
        _received = 0;
        _expectedAtReport = _receivedAtReport = 0;
        _haveTransit = false;
        _lastTimestamp = packet.timestamp;
    } else {
        const int delta = int16_t(uint16_t(packet.sequence - _maxSequence));
        if (delta <= 0 && delta > -kMaxMisorder)
            return false; // late or repeated: what it belonged to has gone on
        if (delta > 1 || delta <= -kMaxMisorder) {
            lossBefore = true;
            if (delta > 1 && delta < kMaxDropout)
                _lost += uint64_t(delta - 1);
        }
        if (packet.sequence < _maxSequence && delta > 0)
            _cycles += 1 << 16;
        _maxSequence = packet.sequence;
    }
    ++_received;

    // The media clock follows the timestamps, which may step back a little
    // (pictures sent out of display order).
    const int32_t step = int32_t(packet.timestamp - _lastTimestamp);
    if (step > 0)
        _step = step;
    _lastMediaTime += step;
    _lastTimestamp = packet.timestamp;

    // The arrival on the media clock, kept to 32 bits as the timestamps are:
    // only differences of transit times count, and they survive the wrap.
    const int64_t arrival = (nowUs / 1000000) * _clockRate + (nowUs % 1000000) * _clockRate / 1000000;
    const int64_t transit = int32_t(uint32_t(arrival) - packet.timestamp);
    if (_haveTransit) {
        const int64_t d = std::abs(int64_t(int32_t(uint32_t(transit) - uint32_t(_lastTransit))));
        _jitter16 += d - ((_jitter16 + 8) >> 4);
    }
    _lastTransit = transit;
    _haveTransit = true;
    return true;
}

void RtpReception::_Hand(const RtpPacketView& packet, int64_t arrivedUs, std::vector<Ordered>& ready)
{
    bool lossBefore = false;
    if (_Accept(packet, arrivedUs, lossBefore))
        ready.push_back({packet, lossBefore});
}

void RtpReception::_HandFollowing(std::vector<Ordered>& ready)
{
    while (!_held.empty() && _held.front().packet.sequence == uint16_t(_maxSequence + 1)) {
        _handed.push_back(std::move(_held.front()));
        _held.pop_front();
        _Hand(_handed.back().packet, _handed.back().arrivedUs, ready);
    }
}

void RtpReception::_HandAllHeld(std::vector<Ordered>& ready)
{
    while (!_held.empty()) {
        _handed.push_back(std::move(_held.front()));
        _held.pop_front();
        _Hand(_handed.back().packet, _handed.back().arrivedUs, ready);
    }
}

void RtpReception::Arrive(const RtpPacketView& packet, int64_t nowUs, std::vector<Ordered>& ready)
{
    _handed.clear();
    if (!_started || packet.ssrc != _ssrc) {
        _HandAllHeld(ready); // what the old source left
        _Hand(packet, nowUs, ready);
        return;
    }
    const int ahead = int16_t(uint16_t(packet.sequence - uint16_t(_maxSequence + 1)));
    if (ahead == 0) {
        _Hand(packet, nowUs, ready);
        _HandFollowing(ready);
        return;
    }
    if (ahead < 0 || ahead > kReorderWindow) {
        // Late (left out), or a jump: the held packets will not be followed
        // by the ones they wait for.
        if (ahead > 0)
            _HandAllHeld(ready);
        _Hand(packet, nowUs, ready);
        return;
    }
    // Ahead by a few: held in order, once. A packet of a later picture than a
    // held marked one says the picture's missing packets are lost, not late.
    bool pictureEnded = false;
    auto at = _held.begin();
    for (; at != _held.end(); ++at) {
        pictureEnded = pictureEnded || (at->packet.marker && at->packet.timestamp != packet.timestamp);
        const int order = int16_t(uint16_t(packet.sequence - at->packet.sequence));
        if (order == 0)
            return; // repeated
        if (order < 0)
            break;
    }
    for (auto rest = at; rest != _held.end(); ++rest)
        pictureEnded = pictureEnded || (rest->packet.marker && rest->packet.timestamp != packet.timestamp);
    if (_held.empty())
        _holdDeadlineUs = nowUs + kLongestHoldUs;
    Held held;
    held.payload.assign(packet.payload, packet.payload + packet.size);
    held.packet = packet;
    held.packet.payload = held.payload.data();
    held.arrivedUs = nowUs;
    _held.insert(at, std::move(held));
    if (pictureEnded || _held.size() > kMostHeld || nowUs >= _holdDeadlineUs)
        _HandAllHeld(ready);
}

void RtpReception::Expire(int64_t nowUs, std::vector<Ordered>& ready)
{
    _handed.clear();
    if (!_held.empty() && nowUs >= _holdDeadlineUs)
        _HandAllHeld(ready);
}

int64_t RtpReception::MediaTime(uint32_t rtpTimestamp) const
{
    return _lastMediaTime + int32_t(rtpTimestamp - _lastTimestamp);
}

bool RtpReception::SenderReport(uint32_t ssrc, uint64_t ntpTime, uint32_t rtpTimestamp, int64_t nowUs)
{
    if (!_started || ssrc != _ssrc)
        return false; // a report of a source whose packets have not come yet
    const bool first = _wallOfZeroUs < 0;
    const uint64_t seconds = ntpTime >> 32;
    const uint64_t fraction = ntpTime & 0xFFFFFFFFull;
    const int64_t wallUs = int64_t(seconds - kNtpToUnixSeconds) * 1000000 + int64_t((fraction * 1000000) >> 32);
    _wallOfZeroUs = wallUs - MediaTime(rtpTimestamp) * 1000000 / _clockRate;
    _lastReportNtpMiddle = uint32_t(ntpTime >> 16);
    _lastReportArrivalUs = nowUs;
    return first;
}

std::vector<uint8_t> RtpReception::ReceiverReport(uint32_t ownSsrc, int64_t nowUs)
{
    std::vector<uint8_t> out;
    if (!_started)
        return out;
    const uint64_t extendedMax = uint64_t(_cycles) + _maxSequence;
    const uint64_t expected = extendedMax - _baseSequence + 1;
    const int64_t lostTotal = std::clamp<int64_t>(int64_t(expected) - int64_t(_received), -0x800000, 0x7FFFFF);
    const uint64_t expectedInterval = expected - _expectedAtReport;
    const uint64_t receivedInterval = _received - _receivedAtReport;
    _expectedAtReport = expected;
    _receivedAtReport = _received;
    const int64_t lostInterval = int64_t(expectedInterval) - int64_t(receivedInterval);
    const uint32_t fraction =
        expectedInterval == 0 || lostInterval <= 0 ? 0 : uint32_t((lostInterval << 8) / int64_t(expectedInterval));
    const uint32_t delay =
        _lastReportArrivalUs == 0 ? 0 : uint32_t((nowUs - _lastReportArrivalUs) * 65536 / 1000000);

    out.insert(out.end(), {0x81, 201, 0, 7}); // RR with one report block
    Put32(out, ownSsrc);
    Put32(out, _ssrc);
    Put32(out, (std::min<uint32_t>(fraction, 255) << 24) | (uint32_t(lostTotal) & 0xFFFFFF));
    Put32(out, uint32_t(extendedMax));
    Put32(out, uint32_t(_jitter16 >> 4));
    Put32(out, _lastReportNtpMiddle);
    Put32(out, _lastReportNtpMiddle == 0 ? 0 : delay);

    // SDES with the CNAME every compound packet carries.
    static const std::string kName = "quillet";
    const std::size_t itemBytes = 4 + 2 + kName.size() + 1; // ssrc, type+length, text, end
    const std::size_t padded = (itemBytes + 3) / 4 * 4;
    out.insert(out.end(), {0x81, 202, 0, uint8_t(padded / 4)});
    Put32(out, ownSsrc);
    out.insert(out.end(), {1, uint8_t(kName.size())});
    out.insert(out.end(), kName.begin(), kName.end());
    out.insert(out.end(), padded - itemBytes + 1, 0);
    return out;
}

} // namespace Quillet

#pragma once
// Every video packet a live source pushed, noted as it arrived: what a
// recording of each connection must hold, and how old a picture handed out
// is. FFProcess runs on the source's read thread, the rest on the test's;
// `_mutex` guards the log.
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "core/FFNode.h"
#include "support/RecordedPackets.h"

namespace Quillet::Testing {

class ArrivalLog : public FFDestNode<FFData> {
public:
    struct Arrival {
        std::chrono::steady_clock::time_point at;
        int64_t arrivedTicks; // the wall clock at arrival, 100 ns since 1970, as capture times are
        int64_t pts, liveTime;
        bool liveFlag, key;
        bool clean;     // a key picture with a decode time, where a recording may start
        int connection; // how many connections were reported before it
        std::string hash;
    };
    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (record && record->GetType() == FFType::ConnectionInfo &&
            static_cast<const FFConnectionInfo&>(*record).status == ConnectionStatus::Connected)
            ++_connection;
        if (!record || record->GetType() != FFType::Packet)
            return FFStatus::Ready;
        const auto& p = static_cast<const FFPacket&>(*record);
        if (p.GetStreamType() != FFStreamType::Video)
            return FFStatus::Ready;
        const AVPacket* a = p.Get();
        const bool key = (a->flags & AV_PKT_FLAG_KEY) != 0;
        _arrivals.push_back({std::chrono::steady_clock::now(),
                             std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(100),
                             a->pts, p.liveTime, p.liveFlag, key, key && a->dts != AV_NOPTS_VALUE, _connection,
                             Md5(a->data, a->size)});
        return FFStatus::Ready;
    }
    std::vector<Arrival> Arrivals() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _arrivals;
    }
    // Per connection, the packets from its first clean key picture on.
    std::map<int, int> Recordable() const
    {
        std::map<int, int> counts;
        std::map<int, bool> started;
        for (const auto& a : Arrivals()) {
            started[a.connection] = started[a.connection] || a.clean;
            counts[a.connection] += started[a.connection];
        }
        return counts;
    }
    // Seconds since the picture with media time `seconds` (90 kHz) arrived.
    double AgeOf(double seconds) const
    {
        const int64_t pts = std::llround(seconds * 90000.0);
        std::lock_guard<std::mutex> guard(_mutex);
        for (auto it = _arrivals.rbegin(); it != _arrivals.rend(); ++it)
            if (std::llabs(it->pts - pts) <= 1)
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - it->at).count();
        return 1e9;
    }

private:
    mutable std::mutex _mutex;
    std::vector<Arrival> _arrivals;
    int _connection = 0;
};

} // namespace Quillet::Testing

#pragma once
// The one destination tests connect to a node to see what it pushes: keeps
// every record, answers a settable status, can hold its producer back
// (`capacity`) or fail it (`throwAfterPackets`), and lets the test wait for
// arrivals. FFProcess, GetStatus and Flush run on the producer's thread, the
// accessors on the test thread: `_mutex` guards the records and the packet
// count; the knobs are atomics so a test may turn them while a producer runs,
// through the setters, which ring the producer's room signal as a real
// destination does when it may take records again.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "support/Probe.h"

namespace Quillet::Testing {

template <typename T>
class CapturingDest : public FFDestNode<T> {
public:
    FFStatus FFProcess(std::shared_ptr<T> record) override
    {
        if (onArrival)
            onArrival(*record);
        std::lock_guard<std::mutex> guard(_mutex);
        if constexpr (std::is_base_of_v<FFData, T>) {
            if (record && record->GetType() == FFType::Packet) {
                const int limit = throwAfterPackets.load();
                if (limit >= 0 && _packets >= limit)
                    throw std::runtime_error("destination refuses packet");
                ++_packets;
            }
        }
        _records.push_back(std::move(record));
        _arrived.notify_all();
        return FFStatus(processAnswer.load());
    }
    FFStatus GetStatus() override
    {
        ++statusQueries;
        const int cap = capacity.load();
        if (cap >= 0 && Count() >= static_cast<size_t>(cap))
            return FFStatus::Full;
        return FFStatus(status.load());
    }
    void Flush() override
    {
        if (onFlush)
            onFlush();
    }

    std::vector<std::shared_ptr<T>> Records() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records.size();
    }
    size_t Count(FFType type) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return CountLocked(type);
    }
    void Clear()
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _records.clear();
        }
        this->RoomMade();
    }
    void SetStatus(FFStatus::FFStreamStatus s)
    {
        status = s;
        this->RoomMade();
    }
    void SetCapacity(int records)
    {
        capacity = records;
        this->RoomMade();
    }
    // Waits (at most `limit`) until `count` records of `type` have arrived.
    bool WaitFor(FFType type, size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) const
    {
        std::unique_lock<std::mutex> guard(_mutex);
        return _arrived.wait_for(guard, limit, [&] { return CountLocked(type) >= count; });
    }
    // Packets received before the first record of `marker`.
    std::vector<PacketFact> PacketsBefore(FFType marker) const
    {
        std::vector<PacketFact> out;
        for (const auto& r : Records()) {
            if (r->GetType() == marker)
                break;
            if (r->GetType() == FFType::Packet)
                out.push_back(FactOf(static_cast<const FFPacket&>(*r)));
        }
        return out;
    }

    // Set through SetStatus and SetCapacity while a producer runs.
    std::atomic<FFStatus::FFStreamStatus> status{FFStatus::Ready};
    std::atomic<FFStatus::FFStreamStatus> processAnswer{FFStatus::Ready};
    // Answers Full once this many records have arrived; negative: no limit.
    std::atomic<int> capacity{-1};
    // FFProcess throws once this many packets have arrived; negative: never.
    std::atomic<int> throwAfterPackets{-1};
    std::atomic<int> statusQueries{0};
    std::function<void()> onFlush; // set before connecting
    // Runs on the producer's thread as each record arrives, before it is kept.
    std::function<void(const T&)> onArrival;

private:
    // Expects `_mutex` held.
    size_t CountLocked(FFType type) const
    {
        size_t n = 0;
        for (const auto& r : _records)
            n += r->GetType() == type;
        return n;
    }

    mutable std::mutex _mutex;
    mutable std::condition_variable _arrived;
    std::vector<std::shared_ptr<T>> _records;
    int _packets = 0;
};

// A source driven by the test: a settable stream description, pushes by hand.
template <typename T>
class ManualSource : public FFSourceNode<T> {
public:
    std::shared_ptr<T> GetMetaInfo() override { return meta; }
    std::vector<FFStatus> Push(std::shared_ptr<T> record) { return this->PushToDestinations(record); }

    std::shared_ptr<T> meta;
};

} // namespace Quillet::Testing

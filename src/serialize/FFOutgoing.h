#pragma once
// One client of a serving engine: holds the serialized records the source
// produced until the application takes them, in batches, from its own thread.
//
// Threads: FFProcess and GetStatus run on the source's read thread (through
// the serializer); Flush runs there too or on the thread that disconnects
// the graph; GetNextPacket, SetNumberOutgoingPackets and QueuedRecords run on
// the application's thread. A batch taken and a flush ring the source's room
// signal (FFNode.h) after `_lock` is let go. Every operation takes `_lock` once and calls
// nothing that locks it again, so it is a plain mutex. The arrival notice
// runs under `_lock` on the source's thread (and on the destroying thread
// once, as the queue goes away); it must return at once and never call back. Lock order: the
// serializer's node lock may be held when `_lock` is taken, never the reverse.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "core/FFData.h"
#include "core/FFNode.h"
#include "events/FFMessageClient.h"

namespace Quillet {

class FFOutgoing : public FFDestNode<FFSerializedData>, public FFMessageClient {
public:
    static constexpr uint32_t kDefaultNumberOutgoingPackets = 1;

    FFOutgoing() = default;
    ~FFOutgoing() override = default;
    FFOutgoing(const FFOutgoing&) = delete;
    FFOutgoing& operator=(const FFOutgoing&) = delete;

    // Receives one serialized record on the source's thread; the two kinds of
    // queue differ in what they drop when the client falls behind.
    FFStatus FFProcess(std::shared_ptr<FFSerializedData> record) override = 0;
    // Empties the queue; the connection stays.
    void Flush() override;

    // Takes up to GetNumberOutgoingPackets() records off the front and returns
    // their bytes back to back as one batch (attribute Batch), independent of
    // the queue afterwards. Empty when the queue is empty.
    virtual std::shared_ptr<const FFSerializedData> GetNextPacket();
    virtual void SetNumberOutgoingPackets(uint32_t count);
    uint32_t GetNumberOutgoingPackets() const;

    // How many records wait for the client.
    size_t QueuedRecords() const;
    // Called as each record is queued, and once as the queue goes away, so
    // that a reader may wait for batches instead of polling.
    void SetArrivalNotice(std::function<void()> notice);

protected:
    // Leaf destructors call this while the object is still whole, so that a
    // push racing with the destruction never reaches a half-destroyed queue.
    void _DetachFromSerializer();
    // False (with a warning) for a record that cannot be queued: null, or
    // sizes that do not match its bytes. Needs no lock.
    bool _IsUsable(const std::shared_ptr<FFSerializedData>& record) const;
    // GetNextPacket's work under `_lock`.
    std::shared_ptr<const FFSerializedData> _TakeBatch();
    // Queues `record` and tells the reader. Called with `_lock` held.
    void _PushLocked(std::shared_ptr<FFSerializedData> record);

    // `_lock` guards the queue and the batch size.
    mutable std::mutex _lock;
    std::deque<std::shared_ptr<const FFSerializedData>> _queue;
    uint32_t _numberOutgoingPackets = kDefaultNumberOutgoingPackets;
    std::function<void()> _arrivalNotice;
};

} // namespace Quillet

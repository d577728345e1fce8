#pragma once
// Turns every record coming out of a source into its flat byte form and hands
// that one byte record to every client queue behind it.
//
// Threads: FFProcess and GetStatus run on the source's read thread;
// ConnectNode, NotifyNewRecipient, GetMetaInfo and DisconnectNode run on the
// thread that builds or tears down the graph (the engine's caller). The node
// lock inherited from FFSourceNode guards the list of queues; the serializer
// has no state of its own. Lock order: node lock, then a queue's `_lock`.
#include <memory>

#include "core/FFData.h"
#include "core/FFNode.h"
#include "events/FFMessageClient.h"

namespace Quillet {

class FFSerialize : public FFNode<FFData, FFSerializedData>, public FFMessageClient {
public:
    FFSerialize() = default;
    // Leaves neither the source nor the queues pointing at a dead node.
    ~FFSerialize() override;
    FFSerialize(const FFSerialize&) = delete;
    FFSerialize& operator=(const FFSerialize&) = delete;

    // Serializes the record once and shares the bytes with every queue.
    // Always Ready: back-pressure is reported through GetStatus instead.
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    // The source was just connected: queues already waiting get its description.
    void NotifyNewRecipient() override;
    // Full when any queue answers Full or Paused.
    FFStatus GetStatus() override;

    // The source's description, serialized afresh at every call; empty when
    // there is no source or it has no description yet.
    std::shared_ptr<FFSerializedData> GetMetaInfo() override;

private:
    // Asks the source for its description; takes no lock of its own.
    std::shared_ptr<FFSerializedData> _GetMetaInfoFromParent();
};

} // namespace Quillet

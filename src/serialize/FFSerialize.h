#pragma once
// Turns every record coming out of a source into its flat byte form and hands
// that one byte record to every client queue behind it.
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
    std::shared_ptr<FFSerializedData> _GetMetaInfoFromParent();
};

} // namespace Quillet

#include "serialize/FFSerialize.h"

namespace Quillet {

FFSerialize::~FFSerialize()
{
    if (auto* source = GetParent())
        source->RemoveNode(this);
    FFSourceNode<FFSerializedData>::DisconnectNode();
}

FFStatus FFSerialize::FFProcess(std::shared_ptr<FFData> record)
{
    std::shared_ptr<FFSerializedData> serialized = record->Serialize();
    if (serialized->attribute == FFAttribute::Codec)
        LogInfo() << "FFSerialize::FFProcess" << "--- Serializing codec: " << serialized->size;
    PushToDestinations(serialized);
    return FFStatus::Ready;
}

FFStatus FFSerialize::GetStatus()
{
    // Lock order: this node first, then each queue inside its own GetStatus.
    return AnyDestinationBusy() ? FFStatus::Full : FFStatus::Ready;
}

void FFSerialize::NotifyNewRecipient()
{
    LogInfo() << "FFSerialize::NotifyNewRecipient";
    if (auto meta = _GetMetaInfoFromParent())
        PushToDestinations(meta);
}

std::shared_ptr<FFSerializedData> FFSerialize::GetMetaInfo()
{
    LogInfo() << "FFSerialize::GetMetaInfo";
    return _GetMetaInfoFromParent();
}

std::shared_ptr<FFSerializedData> FFSerialize::_GetMetaInfoFromParent()
{
    FFSourceNode<FFData>* source = GetParent();
    if (!source) {
        LogInfo() << "Parent to set";
        return nullptr;
    }
    std::shared_ptr<FFData> meta = source->GetMetaInfo();
    if (!meta) {
        LogInfo() << "Not meta info from parent";
        return nullptr;
    }
    std::shared_ptr<FFSerializedData> serialized = meta->Serialize();
    if (serialized->attribute == FFAttribute::Codec)
        LogInfo() << "FFSerialize::_GetMetaInfoFromParent" << "--- Serializing codec: " << serialized->size;
    return serialized;
}

} // namespace Quillet

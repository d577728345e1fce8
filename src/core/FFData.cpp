#include "core/FFData.h"

#include <string>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFError.h"
#include "core/FFPacket.h"
#include "core/WireBytes.h"

namespace Quillet {

std::shared_ptr<FFSerializedData> FFData::Serialize() const
{
    const int32_t n = GetSerializedSize();
    auto out = std::make_shared<FFSerializedData>();
    out->data = std::make_unique<uint8_t[]>(static_cast<size_t>(n)); // zero-filled: reserved bytes stay 0
    out->size = n;
    out->attribute = GetAttribute();

    WireWriter w(out->data.get(), static_cast<size_t>(n));
    w.PutI32(0, static_cast<int32_t>(type));
    w.PutI32(4, n);
    w.PutI32(8, static_cast<int32_t>(out->attribute));
    WritePayload(w);
    return out;
}

void FFData::WriteObjectHead(WireWriter& w) const
{
    w.PutI32(12, 0);
    w.PutI32(16, static_cast<int32_t>(type));
}

namespace {

std::unique_ptr<FFData> MakeRecord(int32_t type)
{
    switch (static_cast<FFType>(type)) {
    case FFType::Packet: return std::make_unique<FFPacket>();
    case FFType::CodecInfo: return std::make_unique<FFCodecInfo>();
    case FFType::SeekInfo: return std::make_unique<FFSeekInfo>();
    case FFType::EOSInfo: return std::make_unique<FFEOSInfo>();
    case FFType::AVCodec: return std::make_unique<FFAVCodec>();
    case FFType::ConnectionInfo: return std::make_unique<FFConnectionInfo>();
    default: throw FFError("Wrong FFData type");
    }
}

} // namespace

std::unique_ptr<FFData> CreateFromSerialized(const uint8_t* data, size_t available)
{
    if (!data)
        throw WireFormatError("Serialized record is null");
    WireReader header(data, available);
    const int32_t type = header.I32(0, "the record header");
    const int32_t size = header.I32(4, "the record header");
    header.I32(8, "the record header");
    auto record = MakeRecord(type);
    if (size < FFData::kHeaderSize || static_cast<size_t>(size) > available)
        throw WireFormatError("Serialized record of type " + std::to_string(type) + " claims " +
                              std::to_string(size) + " bytes but the block holds " + std::to_string(available));
    record->Deserialize(data + FFData::kHeaderSize, size - FFData::kHeaderSize);
    return record;
}

std::unique_ptr<FFData> CreateFromSerialized(const FFSerializedData& serialized)
{
    if (serialized.size < 0)
        throw WireFormatError("Serialized record with a negative size");
    return CreateFromSerialized(serialized.data.get(), static_cast<size_t>(serialized.size));
}

} // namespace Quillet

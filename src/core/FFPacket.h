#pragma once
// One compressed audio or video packet. Built by a source on its thread, then
// only read by the nodes it is pushed to; no lock (see FFData.h).
#include "core/FFAVPtr.h"
#include "core/FFData.h"
#include "core/KeyPicture.h"

namespace Quillet {

class FFPacket : public FFData {
public:
    // 12 header + 96 fixed part + data + 16 zero bytes.
    static constexpr int32_t kOverhead = 124;
    static constexpr int32_t kDataOffset = 108;

    FFPacket();
    // Takes over the reference held by `src` (which is left blank); the data
    // is made reference-counted so the record owns it.
    explicit FFPacket(AVPacket* src);

    AVPacket* Get() const { return packet.get(); }
    FFStreamType GetStreamType() const { return streamType; }
    void SetStreamType(FFStreamType t) { streamType = t; }
    // A clean key picture (see KeyPicture.h).
    bool IsKey() const { return IsCleanKey(*packet); }

    int32_t GetSerializedSize() const override;
    FFAttribute GetAttribute() const override;
    void Deserialize(const uint8_t* payload, int32_t length) override;

    AVPacketPtr packet;
    // Whether liveTime is trustworthy (set by the live camera source).
    bool liveFlag = true;
    FFStreamType streamType = FFStreamType::None;
    // Wall-clock time in UTC, 100 ns ticks since 1970; 0 when unknown.
    int64_t liveTime = 0;

protected:
    void WritePayload(WireWriter& w) const override;
};

// The one "is this a video key picture" check, for every node that starts or
// resumes something only at one: a record that is a video packet and a clean
// key picture (KeyPicture.h). A sound packet is flagged key on its own and
// never counts. Pure, any thread.
inline bool IsVideoKey(const FFData& record)
{
    if (record.type != FFType::Packet)
        return false;
    const auto& p = static_cast<const FFPacket&>(record);
    return p.streamType == FFStreamType::Video && p.IsKey();
}

} // namespace Quillet

#include "core/FFPacket.h"

#include <cstring>
#include <limits>
#include <string>

#include "core/WireBytes.h"

namespace Quillet {
namespace {

// Offsets within the whole record; bytes 20 to 91 are the packet image.
constexpr size_t kPts = 20;
constexpr size_t kDts = 28;
constexpr size_t kSize = 40;
constexpr size_t kStreamIndex = 44;
constexpr size_t kFlags = 48;
constexpr size_t kSideDataCount = 56;
constexpr size_t kDuration = 60;
constexpr size_t kPos = 76;
constexpr size_t kConvergenceDuration = 84;
constexpr size_t kLiveFlag = 92;
constexpr size_t kStreamType = 96;
constexpr size_t kLiveTime = 100;

constexpr size_t P(size_t recordOffset) { return recordOffset - FFData::kHeaderSize; }

int32_t ClampToInt32(int64_t v)
{
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

} // namespace

FFPacket::FFPacket() : FFData(FFType::Packet), packet(MakePacket()) {}

FFPacket::FFPacket(AVPacket* src) : FFPacket()
{
    av_packet_move_ref(packet.get(), src);
    if (av_packet_make_refcounted(packet.get()) < 0)
        throw std::bad_alloc();
}

int32_t FFPacket::GetSerializedSize() const
{
    return packet->size + kOverhead;
}

FFAttribute FFPacket::GetAttribute() const
{
    if (IsKey())
        return streamType == FFStreamType::Video ? FFAttribute::VideoKey : FFAttribute::OtherKey;
    return FFAttribute::Plain;
}

void FFPacket::WritePayload(WireWriter& w) const
{
    const AVPacket* p = packet.get();
    WriteObjectHead(w);
    w.PutI64(kPts, p->pts);
    w.PutI64(kDts, p->dts);
    w.PutI32(kSize, p->size);
    w.PutI32(kStreamIndex, p->stream_index);
    w.PutI32(kFlags, p->flags);
    w.PutI32(kSideDataCount, p->side_data_elems);
    w.PutI32(kDuration, ClampToInt32(p->duration));
    w.PutI64(kPos, p->pos);
    w.PutI64(kConvergenceDuration, 0);
    w.PutU8(kLiveFlag, liveFlag ? 1 : 0);
    w.PutI32(kStreamType, static_cast<int32_t>(streamType));
    w.PutI64(kLiveTime, liveTime);
    w.PutBytes(kDataOffset, p->data, static_cast<size_t>(p->size));
    // The 16 bytes after the data are already zero.
}

void FFPacket::Deserialize(const uint8_t* payload, int32_t length)
{
    if (length < 0)
        throw WireFormatError("Packet record with a negative length");
    WireReader r(payload, static_cast<size_t>(length));
    r.Require(0, P(kOverhead), "a packet's fixed part");
    const int32_t n = r.I32(P(kSize), "the packet size");
    if (n < 0 || static_cast<int64_t>(n) + kOverhead - kHeaderSize != length)
        throw WireFormatError("Packet record claims " + std::to_string(n) + " data bytes in a payload of " +
                              std::to_string(length));
    const int32_t st = r.I32(P(kStreamType), "the stream type");
    if (st < static_cast<int32_t>(FFStreamType::None) || st > static_cast<int32_t>(FFStreamType::Audio))
        throw WireFormatError("Packet record with an unknown stream type " + std::to_string(st));

    av_packet_unref(packet.get());
    if (n > 0) {
        if (av_new_packet(packet.get(), n) < 0)
            throw std::bad_alloc();
        std::memcpy(packet->data, r.At(P(kDataOffset), static_cast<size_t>(n), "the packet data"),
                    static_cast<size_t>(n));
    }
    packet->pts = r.I64(P(kPts), "pts");
    packet->dts = r.I64(P(kDts), "dts");
    packet->stream_index = r.I32(P(kStreamIndex), "the stream index");
    packet->flags = r.I32(P(kFlags), "flags");
    packet->duration = r.I32(P(kDuration), "duration");
    packet->pos = r.I64(P(kPos), "pos");
    liveFlag = r.U8(P(kLiveFlag), "the live flag") != 0;
    streamType = static_cast<FFStreamType>(st);
    liveTime = r.I64(P(kLiveTime), "the live time");
}

} // namespace Quillet

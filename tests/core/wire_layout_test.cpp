// Byte layout of serialized records: sizes, header fields and the offsets
// other instances of the library rely on.
#include <cstring>

#include <gtest/gtest.h>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFError.h"
#include "core/FFPacket.h"
#include "core/WireBytes.h"
#include "support/TestRecords.h"

extern "C" {
#include <libavutil/mem.h>
}

using namespace Quillet;

namespace {

int32_t I32At(const FFSerializedData& s, size_t offset)
{
    return WireReader(s.data.get(), static_cast<size_t>(s.size)).I32(offset, "test");
}
int64_t I64At(const FFSerializedData& s, size_t offset)
{
    return WireReader(s.data.get(), static_cast<size_t>(s.size)).I64(offset, "test");
}
bool ZeroBytes(const FFSerializedData& s, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (s.data[i] != 0)
            return false;
    return true;
}

std::shared_ptr<FFPacket> MakePacketRecord(int size, int flags, FFStreamType type)
{
    auto p = Testing::MakePacket(type, 0, false, size);
    for (int i = 0; i < size; ++i)
        p->Get()->data[i] = static_cast<uint8_t>(i * 7 + 1);
    p->Get()->flags = flags;
    return p;
}

// A 640x480 description of `id` in time base 1/90000.
std::shared_ptr<FFCodecInfo> VideoDescription(AVCodecID id, int extraDataSize)
{
    auto info = Testing::VideoDescription(1, 90000, extraDataSize);
    info->Context()->codec_id = id;
    info->Context()->width = 640;
    info->Context()->height = 480;
    return info;
}

} // namespace

TEST(WireLayout, PacketImageCarriesEveryFieldAtItsOffset)
{
    auto p = MakePacketRecord(1000, AV_PKT_FLAG_KEY, FFStreamType::Video);
    p->Get()->pts = 0x0102030405060708LL;
    p->Get()->dts = -5;
    p->Get()->stream_index = 3;
    p->Get()->duration = 3600;
    p->Get()->pos = 12345;
    p->liveFlag = false;
    p->liveTime = 0x1122334455667788LL;

    auto s = p->Serialize();
    ASSERT_EQ(s->size, 1124);
    EXPECT_EQ(I32At(*s, 0), 1);
    EXPECT_EQ(I32At(*s, 4), 1124);
    EXPECT_EQ(I32At(*s, 8), 1); // video key packet
    EXPECT_EQ(I32At(*s, 16), 1);
    EXPECT_EQ(I64At(*s, 20), 0x0102030405060708LL);
    EXPECT_EQ(I64At(*s, 28), -5);
    EXPECT_EQ(I32At(*s, 40), 1000);
    EXPECT_EQ(I32At(*s, 44), 3);
    EXPECT_EQ(I32At(*s, 48), 1);
    EXPECT_EQ(I32At(*s, 60), 3600);
    EXPECT_EQ(I64At(*s, 76), 12345);
    EXPECT_EQ(s->data[92], 0);
    EXPECT_EQ(I32At(*s, 96), 1);
    EXPECT_EQ(I64At(*s, 100), 0x1122334455667788LL);
    EXPECT_EQ(0, std::memcmp(s->data.get() + 108, p->Get()->data, 1000));
    EXPECT_TRUE(ZeroBytes(*s, 1108, 1124));
    // Pointer slots and padding never leak writer addresses.
    EXPECT_TRUE(ZeroBytes(*s, 12, 16));
    EXPECT_TRUE(ZeroBytes(*s, 36, 40));
    EXPECT_TRUE(ZeroBytes(*s, 64, 76));

    auto back = CreateFromSerialized(*s);
    auto& q = dynamic_cast<FFPacket&>(*back);
    EXPECT_EQ(q.Get()->pts, p->Get()->pts);
    EXPECT_EQ(q.Get()->dts, -5);
    EXPECT_EQ(q.Get()->size, 1000);
    EXPECT_EQ(0, std::memcmp(q.Get()->data, p->Get()->data, 1000));
    EXPECT_EQ(q.Get()->stream_index, 3);
    EXPECT_EQ(q.Get()->duration, 3600);
    EXPECT_EQ(q.Get()->pos, 12345);
    EXPECT_FALSE(q.liveFlag);
    EXPECT_EQ(q.liveTime, p->liveTime);
    EXPECT_EQ(q.GetStreamType(), FFStreamType::Video);
    EXPECT_EQ(q.GetSerializedSize(), 1124);
}

TEST(WireLayout, EmptyPacketIs124BytesAndComesBackWithoutData)
{
    auto s = MakePacketRecord(0, 0, FFStreamType::Audio)->Serialize();
    EXPECT_EQ(s->size, 124);
    auto back = CreateFromSerialized(*s);
    auto& q = dynamic_cast<FFPacket&>(*back);
    EXPECT_EQ(q.Get()->data, nullptr);
    EXPECT_EQ(q.Get()->size, 0);
}

TEST(WireLayout, PacketAttributeFollowsExactKeyFlagAndStreamType)
{
    EXPECT_EQ(MakePacketRecord(4, AV_PKT_FLAG_KEY, FFStreamType::Video)->GetAttribute(), FFAttribute::VideoKey);
    EXPECT_EQ(MakePacketRecord(4, AV_PKT_FLAG_KEY, FFStreamType::Audio)->GetAttribute(), FFAttribute::OtherKey);
    EXPECT_EQ(MakePacketRecord(4, AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT, FFStreamType::Video)->GetAttribute(),
              FFAttribute::Plain);
    EXPECT_EQ(MakePacketRecord(4, 0, FFStreamType::Video)->GetAttribute(), FFAttribute::Plain);
    EXPECT_EQ(I32At(*MakePacketRecord(4, AV_PKT_FLAG_KEY, FFStreamType::Audio)->Serialize(), 8), 5);
}

TEST(WireLayout, ControlRecordsHaveFixedSizesAndFields)
{
    FFSeekInfo seek(12.375);
    seek.wasPaused = true;
    seek.flushQueues = false;
    auto s = seek.Serialize();
    ASSERT_EQ(s->size, 36);
    EXPECT_EQ(I32At(*s, 0), 3);
    EXPECT_EQ(I32At(*s, 8), 3);
    EXPECT_EQ(I32At(*s, 16), 3);
    EXPECT_EQ(s->data[28], 1);
    EXPECT_EQ(s->data[29], 0);
    auto back = CreateFromSerialized(*s);
    auto& b = dynamic_cast<FFSeekInfo&>(*back);
    EXPECT_DOUBLE_EQ(b.time, 12.375);
    EXPECT_FALSE(b.wasPaused); // the flags are the receiver's own
    EXPECT_TRUE(b.flushQueues);

    auto eos = FFEOSInfo().Serialize();
    EXPECT_EQ(eos->size, 20);
    EXPECT_EQ(I32At(*eos, 8), 4);
    EXPECT_EQ(I32At(*eos, 16), 4);

    EXPECT_EQ(FFConnectionInfo().Serialize()->size, 16);
    auto c = FFConnectionInfo(ConnectionStatus::ConnectionLost, "lost").Serialize();
    ASSERT_EQ(c->size, 20);
    EXPECT_EQ(I32At(*c, 0), 6);
    EXPECT_EQ(I32At(*c, 4), 20);
    EXPECT_EQ(I32At(*c, 8), 4);
    EXPECT_EQ(I32At(*c, 12), 2);
    EXPECT_EQ(0, std::memcmp(c->data.get() + 16, "lost", 4));
    auto cb = CreateFromSerialized(*c);
    auto& conn = dynamic_cast<FFConnectionInfo&>(*cb);
    EXPECT_EQ(conn.status, ConnectionStatus::ConnectionLost);
    EXPECT_EQ(conn.message, "lost");
}

TEST(WireLayout, CodecDescriptionSizesFollowTrailingBlocks)
{
    auto plain = VideoDescription(AV_CODEC_ID_H264, 0);
    auto s = plain->Serialize();
    ASSERT_EQ(s->size, 1012);
    EXPECT_EQ(I32At(*s, 8), 2);
    EXPECT_TRUE(ZeroBytes(*s, 996, 1012));
    EXPECT_EQ(I32At(*s, 20 + 48), 28);   // H.264 in the frozen numbering
    EXPECT_EQ(I32At(*s, 20 + 144), 0);   // yuv420p
    EXPECT_EQ(I32At(*s, 20 + 124), 640);
    EXPECT_EQ(I32At(*s, 980), 1);
    EXPECT_EQ(I32At(*s, 984), 90000);
    EXPECT_EQ(I32At(*s, 992), 1);

    auto withExtra = VideoDescription(AV_CODEC_ID_H264, 10)->Serialize();
    ASSERT_EQ(withExtra->size, 1022);
    EXPECT_EQ(I32At(*withExtra, 124), 10);
    EXPECT_EQ(withExtra->data[996], 0xA0);
    EXPECT_TRUE(ZeroBytes(*withExtra, 1006, 1022));

    // An intra matrix follows the 16 padding bytes even without extra data.
    auto matrix = VideoDescription(AV_CODEC_ID_MPEG2VIDEO, 0);
    auto* m = static_cast<uint16_t*>(av_malloc(128));
    for (int i = 0; i < 64; ++i)
        m[i] = static_cast<uint16_t>(300 + i);
    matrix->Context()->intra_matrix = m;
    auto ms = matrix->Serialize();
    ASSERT_EQ(ms->size, 1140);
    EXPECT_NE(I32At(*ms, 336), 0);
    EXPECT_EQ(I32At(*ms, 340), 0);
    EXPECT_EQ(ms->data[1012], 300 & 0xFF);
    EXPECT_EQ(ms->data[1013], 300 >> 8);
    auto back = CreateFromSerialized(*ms);
    const AVCodecContext* rc = dynamic_cast<FFCodecInfo&>(*back).Context();
    ASSERT_NE(rc->intra_matrix, nullptr);
    EXPECT_EQ(rc->inter_matrix, nullptr);
    EXPECT_EQ(0, std::memcmp(rc->intra_matrix, m, 128));
    EXPECT_EQ(rc->codec_id, AV_CODEC_ID_MPEG2VIDEO);
}

TEST(WireLayout, SourceDescriptionEmbedsCompleteStreamRecords)
{
    auto video = VideoDescription(AV_CODEC_ID_H264, 28); // 1040 bytes
    ASSERT_EQ(video->GetSerializedSize(), 1040);
    EXPECT_EQ(FFAVCodec(video, nullptr).Serialize()->size, 1052);

    auto audio = std::make_shared<FFCodecInfo>();
    audio->Context()->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->Context()->codec_id = AV_CODEC_ID_PCM_MULAW;
    audio->Context()->sample_rate = 8000;
    audio->Context()->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&audio->Context()->ch_layout, 1);
    audio->Context()->extradata = static_cast<uint8_t*>(av_mallocz(18 + AV_INPUT_BUFFER_PADDING_SIZE));
    audio->Context()->extradata_size = 18; // 1030 bytes
    FFAVCodec both(video, audio);
    auto s = both.Serialize();
    ASSERT_EQ(s->size, 2082);
    EXPECT_EQ(I32At(*s, 12), 2);
    EXPECT_EQ(I32At(*s, 16), 1040);
    EXPECT_EQ(I32At(*s, 1052), 2);
    EXPECT_EQ(I32At(*s, 1056), 1030);
    EXPECT_EQ(I32At(*s, 1052 + 20 + 48), 65542); // mu-law

    auto back = CreateFromSerialized(*s);
    auto& b = dynamic_cast<FFAVCodec&>(*back);
    ASSERT_TRUE(b.audio);
    EXPECT_EQ(b.audio->Context()->codec_id, AV_CODEC_ID_PCM_MULAW);
    EXPECT_EQ(b.audio->Context()->ch_layout.nb_channels, 1);
    EXPECT_EQ(b.video->Context()->extradata_size, 28);

    auto videoOnly = CreateFromSerialized(*FFAVCodec(video, nullptr).Serialize());
    EXPECT_FALSE(dynamic_cast<FFAVCodec&>(*videoOnly).audio);
}

TEST(WireLayout, NewerCodecsUseTheirAgreedNumbersAndUnknownOnesAreRefused)
{
    EXPECT_EQ(I32At(*VideoDescription(AV_CODEC_ID_HEVC, 0)->Serialize(), 68), 0x48323635);
    EXPECT_EQ(I32At(*VideoDescription(AV_CODEC_ID_VP9, 0)->Serialize(), 68), 170);
    EXPECT_EQ(I32At(*VideoDescription(AV_CODEC_ID_MJPEG, 0)->Serialize(), 68), 8);

    auto nv12 = VideoDescription(AV_CODEC_ID_H264, 0);
    nv12->Context()->pix_fmt = AV_PIX_FMT_NV12;
    EXPECT_EQ(I32At(*nv12->Serialize(), 20 + 144), 25);

    auto av1 = VideoDescription(AV_CODEC_ID_AV1, 0);
    try {
        av1->Serialize();
        FAIL() << "a codec without a wire number must be refused";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("av1"), std::string::npos) << e.what();
    }
}

// Found by the record fuzzer: colour, field-order and audio-service tags
// outside what the linked FFmpeg knows were stored raw into enum fields.
TEST(WireLayout, UnknownEnumTagsBecomeUnspecified)
{
    auto bytes = Testing::AudioDescription()->Serialize();
    WireWriter w(bytes->data.get(), static_cast<size_t>(bytes->size));
    const size_t image = FFCodecInfo::kImageOffset;
    for (auto [offset, tag] : {std::pair<size_t, int32_t>{488, 256}, {408, 1000}, {412, -1}, {416, 0x7fff}, {420, 9},
                               {424, 77}, {432, 6}})
        w.PutI32(image + offset, tag);
    auto rebuilt = CreateFromSerialized(*bytes);
    const AVCodecContext* c = static_cast<FFCodecInfo&>(*rebuilt).Context();
    EXPECT_EQ(c->audio_service_type, AV_AUDIO_SERVICE_TYPE_MAIN);
    EXPECT_EQ(c->color_primaries, AVCOL_PRI_UNSPECIFIED);
    EXPECT_EQ(c->color_trc, AVCOL_TRC_UNSPECIFIED);
    EXPECT_EQ(c->colorspace, AVCOL_SPC_UNSPECIFIED);
    EXPECT_EQ(c->color_range, AVCOL_RANGE_UNSPECIFIED);
    EXPECT_EQ(c->chroma_sample_location, AVCHROMA_LOC_UNSPECIFIED);
    EXPECT_EQ(c->field_order, AV_FIELD_UNKNOWN);
    auto again = rebuilt->Serialize(); // written out again, it carries the replaced tags
    EXPECT_EQ(I32At(*again, image + 488), AV_AUDIO_SERVICE_TYPE_MAIN);
    EXPECT_EQ(I32At(*again, image + 408), AVCOL_PRI_UNSPECIFIED);
}

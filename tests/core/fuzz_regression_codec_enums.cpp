// Codec descriptions whose colour, field-order or audio-service tags lie
// outside what the linked FFmpeg knows. Found by the record fuzzer: the
// reader stored the raw number into the enum field (undefined behaviour,
// reported by UBSan when the description was written out again).
#include <gtest/gtest.h>

#include <cstring>

#include "core/FFCodecInfo.h"
#include "core/WireBytes.h"

using namespace Quillet;

namespace {

constexpr size_t kImage = 20;

void PutI32(FFSerializedData& s, size_t offset, int32_t v)
{
    WireWriter(s.data.get(), static_cast<size_t>(s.size)).PutI32(offset, v);
}

std::shared_ptr<FFSerializedData> AudioDescriptionBytes()
{
    FFCodecInfo info;
    info.Context()->codec_type = AVMEDIA_TYPE_AUDIO;
    info.Context()->codec_id = AV_CODEC_ID_AAC;
    info.Context()->sample_rate = 8000;
    info.Context()->sample_fmt = AV_SAMPLE_FMT_FLTP;
    info.Context()->color_primaries = AVCOL_PRI_BT709;
    info.Context()->audio_service_type = AV_AUDIO_SERVICE_TYPE_KARAOKE;
    info.streamType = FFStreamType::Audio;
    return info.Serialize();
}

} // namespace

TEST(FuzzRegression, UnknownEnumTagsBecomeUnspecified)
{
    auto bytes = AudioDescriptionBytes();
    PutI32(*bytes, kImage + 488, 256);     // audio service type
    PutI32(*bytes, kImage + 408, 1000);    // colour primaries
    PutI32(*bytes, kImage + 412, -1);      // colour transfer
    PutI32(*bytes, kImage + 416, 0x7fff);  // colour space
    PutI32(*bytes, kImage + 420, 9);       // colour range
    PutI32(*bytes, kImage + 424, 77);      // chroma location
    PutI32(*bytes, kImage + 432, 6);       // field order

    auto rebuilt = CreateFromSerialized(*bytes);
    const AVCodecContext* c = static_cast<FFCodecInfo&>(*rebuilt).Context();
    EXPECT_EQ(c->audio_service_type, AV_AUDIO_SERVICE_TYPE_MAIN);
    EXPECT_EQ(c->color_primaries, AVCOL_PRI_UNSPECIFIED);
    EXPECT_EQ(c->color_trc, AVCOL_TRC_UNSPECIFIED);
    EXPECT_EQ(c->colorspace, AVCOL_SPC_UNSPECIFIED);
    EXPECT_EQ(c->color_range, AVCOL_RANGE_UNSPECIFIED);
    EXPECT_EQ(c->chroma_sample_location, AVCHROMA_LOC_UNSPECIFIED);
    EXPECT_EQ(c->field_order, AV_FIELD_UNKNOWN);

    // Written out again, the description carries the replaced tags.
    auto again = rebuilt->Serialize();
    WireReader r(again->data.get(), static_cast<size_t>(again->size));
    EXPECT_EQ(r.I32(kImage + 488, "service"), AV_AUDIO_SERVICE_TYPE_MAIN);
    EXPECT_EQ(r.I32(kImage + 408, "primaries"), AVCOL_PRI_UNSPECIFIED);
}

TEST(FuzzRegression, KnownEnumTagsSurviveTheRoundTrip)
{
    auto rebuilt = CreateFromSerialized(*AudioDescriptionBytes());
    const AVCodecContext* c = static_cast<FFCodecInfo&>(*rebuilt).Context();
    EXPECT_EQ(c->audio_service_type, AV_AUDIO_SERVICE_TYPE_KARAOKE);
    EXPECT_EQ(c->color_primaries, AVCOL_PRI_BT709);
}

// Byte layout of serialized records, one row per kind of record: its size,
// the fields at the offsets other instances of the library rely on, bytes
// that must stay zero (pointer slots never leak writer addresses), and the
// record rebuilt from its bytes writing the same bytes again.
#include <bit>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"
#include "core/WireBytes.h"
#include "support/TestRecords.h"

extern "C" {
#include <libavutil/mem.h>
}

using namespace Quillet;

namespace {

struct Field {
    size_t offset;
    int width; // bytes: 1, 4 or 8, little-endian, signed
    int64_t value;
};

struct LayoutRow {
    const char* name;
    std::function<std::shared_ptr<FFData>()> make;
    int32_t size;
    std::vector<Field> fields;
    std::vector<std::pair<size_t, size_t>> zeros; // [from, to)
    std::vector<Field> rebuilt; // when set: fields of the rebuilt record's bytes instead of all bytes equal
};

void PrintTo(const LayoutRow& row, std::ostream* os) { *os << row.name; }

// Read independently of the library's own reader.
int64_t ValueAt(const FFSerializedData& s, size_t offset, int width)
{
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v |= static_cast<uint64_t>(s.data[offset + static_cast<size_t>(i)]) << (8 * i);
    return width == 4 ? static_cast<int32_t>(static_cast<uint32_t>(v)) : static_cast<int64_t>(v);
}

// `size` bytes 1, 8, 15, ... (i * 7 + 1).
std::shared_ptr<FFPacket> PacketRecord(int size, int flags, FFStreamType type)
{
    auto p = Testing::MakePacket(type, 0, false, size);
    for (int i = 0; i < size; ++i)
        p->Get()->data[i] = static_cast<uint8_t>(i * 7 + 1);
    p->Get()->flags = flags;
    return p;
}

// A 320x240 description of `id` in time base 1/90000.
std::shared_ptr<FFCodecInfo> VideoDescription(AVCodecID id, int extraDataSize)
{
    auto info = Testing::VideoDescription(1, 90000, extraDataSize);
    info->Context()->codec_id = id;
    return info;
}

std::shared_ptr<FFCodecInfo> MulawDescription()
{
    auto audio = std::make_shared<FFCodecInfo>();
    audio->Context()->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->Context()->codec_id = AV_CODEC_ID_PCM_MULAW;
    audio->Context()->sample_rate = 8000;
    audio->Context()->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&audio->Context()->ch_layout, 1);
    audio->Context()->extradata = static_cast<uint8_t*>(av_mallocz(18 + AV_INPUT_BUFFER_PADDING_SIZE));
    audio->Context()->extradata_size = 18; // 1030 bytes in all
    return audio;
}

std::vector<LayoutRow> Rows()
{
    return {
        {"VideoKeyPacket",
         [] {
             auto p = PacketRecord(1000, AV_PKT_FLAG_KEY, FFStreamType::Video);
             AVPacket* a = p->Get();
             a->pts = 0x0102030405060708LL, a->dts = -5, a->stream_index = 3, a->duration = 3600, a->pos = 12345;
             p->liveFlag = true;
             p->liveTime = 0x1122334455667788LL;
             return p;
         },
         1124,
         {{0, 4, 1}, {4, 4, 1124}, {8, 4, 1}, {16, 4, 1}, {20, 8, 0x0102030405060708LL}, {28, 8, -5}, {40, 4, 1000},
          {44, 4, 3}, {48, 4, 1}, {60, 4, 3600}, {76, 8, 12345}, {92, 1, 1}, {96, 4, 1}, {100, 8, 0x1122334455667788LL},
          {108, 4, 0x160F0801}, {1104, 4, 0x524B443D}}, // the data: bytes 0-3 and 996-999
         {{12, 16}, {36, 40}, {64, 76}, {1108, 1124}}, {}},
        // A key flag counts only alone and on video.
        {"EmptyAudioKeyPacket", [] { return PacketRecord(0, AV_PKT_FLAG_KEY, FFStreamType::Audio); }, 124,
         {{8, 4, 5}, {40, 4, 0}, {96, 4, 2}}, {{108, 124}}, {}},
        {"CorruptVideoKeyPacket", [] { return PacketRecord(4, AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT, FFStreamType::Video); },
         128, {{8, 4, 0}, {48, 4, AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT}}, {}, {}},
        // The pause and flush flags are the receiver's own.
        {"SeekMarker",
         [] {
             auto s = std::make_shared<FFSeekInfo>(12.375);
             s->wasPaused = true;
             s->flushQueues = false;
             return s;
         },
         36, {{0, 4, 3}, {8, 4, 3}, {16, 4, 3}, {20, 8, std::bit_cast<int64_t>(12.375)}, {28, 1, 1}, {29, 1, 0}}, {},
         {{20, 8, std::bit_cast<int64_t>(12.375)}, {28, 1, 0}, {29, 1, 1}}},
        {"EndOfStream", [] { return std::make_shared<FFEOSInfo>(); }, 20, {{0, 4, 4}, {8, 4, 4}, {16, 4, 4}}, {}, {}},
        {"ConnectionWithoutMessage", [] { return std::make_shared<FFConnectionInfo>(); }, 16, {{0, 4, 6}, {4, 4, 16}}, {}, {}},
        {"ConnectionLost", [] { return std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "lost"); }, 20,
         {{0, 4, 6}, {4, 4, 20}, {8, 4, 4}, {12, 4, 2}, {16, 4, 0x74736F6C}}, {}, {}},
        {"H264Description", [] { return VideoDescription(AV_CODEC_ID_H264, 0); }, 1012,
         {{8, 4, 2}, {68, 4, 28}, {144, 4, 320}, {164, 4, 0}, {980, 4, 1}, {984, 4, 90000}, {992, 4, 1}}, {{996, 1012}}, {}},
        {"DescriptionWithExtraData", [] { return VideoDescription(AV_CODEC_ID_H264, 10); }, 1022,
         {{124, 4, 10}, {996, 1, 0xA0}, {1005, 1, 0xA9}}, {{1006, 1022}}, {}},
        // An intra matrix follows the 16 padding bytes even without extra data.
        {"DescriptionWithIntraMatrix",
         [] {
             auto info = VideoDescription(AV_CODEC_ID_MPEG2VIDEO, 0);
             auto* m = static_cast<uint16_t*>(av_malloc(128));
             for (int i = 0; i < 64; ++i)
                 m[i] = static_cast<uint16_t>(300 + i);
             info->Context()->intra_matrix = m;
             return info;
         },
         1140, {{68, 4, 2}, {336, 4, 1}, {340, 4, 0}, {1012, 1, 300 & 0xFF}, {1013, 1, 300 >> 8}, {1138, 1, 363 & 0xFF}},
         {{996, 1012}}, {}},
        {"SourceDescriptionVideoOnly", [] { return std::make_shared<FFAVCodec>(VideoDescription(AV_CODEC_ID_H264, 28), nullptr); },
         1052, {{0, 4, 5}, {8, 4, 2}, {12, 4, 2}, {16, 4, 1040}, {1035, 1, 0xBB}}, {}, {}},
        {"SourceDescriptionWithAudio",
         [] { return std::make_shared<FFAVCodec>(VideoDescription(AV_CODEC_ID_H264, 28), MulawDescription()); }, 2082,
         {{12, 4, 2}, {16, 4, 1040}, {1052, 4, 2}, {1056, 4, 1030}, {1052 + 20 + 48, 4, 65542}}, {}, {}},
    };
}

class WireLayout : public ::testing::TestWithParam<LayoutRow> {};

} // namespace

TEST_P(WireLayout, FieldsSitAtTheirOffsetsAndTheRebuiltRecordWritesTheSameBytes)
{
    const LayoutRow& row = GetParam();
    const auto record = row.make();
    const auto s = record->Serialize();
    ASSERT_EQ(s->size, row.size);
    EXPECT_EQ(record->GetSerializedSize(), row.size);
    for (const Field& f : row.fields)
        EXPECT_EQ(ValueAt(*s, f.offset, f.width), f.value) << "at " << f.offset;
    for (const auto& [from, to] : row.zeros)
        for (size_t i = from; i < to; ++i)
            EXPECT_EQ(s->data[i], 0) << "at " << i;

    const auto rebuilt = CreateFromSerialized(*s);
    const auto again = rebuilt->Serialize();
    ASSERT_EQ(again->size, s->size);
    EXPECT_EQ(rebuilt->GetType(), record->GetType());
    if (row.rebuilt.empty()) {
        EXPECT_EQ(0, std::memcmp(again->data.get(), s->data.get(), static_cast<size_t>(s->size)));
    }
    for (const Field& f : row.rebuilt)
        EXPECT_EQ(ValueAt(*again, f.offset, f.width), f.value) << "rebuilt, at " << f.offset;
}

INSTANTIATE_TEST_SUITE_P(Records, WireLayout, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// A codec without a wire number is refused. Found by the record fuzzer:
// colour, field-order and audio-service tags outside what the linked FFmpeg
// knows were stored raw into enum fields; they become unspecified.
TEST(WireLayoutRefusal, CodecsWithoutAWireNumberAreRefusedAndUnknownEnumTagsBecomeUnspecified)
{
    EXPECT_THROW(VideoDescription(AV_CODEC_ID_AV1, 0)->Serialize(), std::invalid_argument);

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
    EXPECT_EQ(ValueAt(*again, image + 488, 4), AV_AUDIO_SERVICE_TYPE_MAIN);
    EXPECT_EQ(ValueAt(*again, image + 408, 4), AVCOL_PRI_UNSPECIFIED);
}

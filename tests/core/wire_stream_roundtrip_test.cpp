// A real stream description survives its wire form: decoders opened from the
// original and from the rebuilt description give identical output, and the
// rebuilt description writes the same bytes again.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/FFAVCodec.h"
#include "core/FFCodecLock.h"
#include "core/FFPacket.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/imgutils.h>
}

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// Every output picture's planes or block's samples, concatenated, from
// decoding `packets` (then draining) with a decoder opened from `info`.
std::vector<uint8_t> DecodeAll(const FFCodecInfo& info, const std::vector<AVPacketPtr>& packets)
{
    AVCodecContextPtr context;
    const AVCodec* codec = avcodec_find_decoder(info.Context()->codec_id);
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        context.reset(avcodec_alloc_context3(codec));
        CopyCodecDescription(context.get(), info.Context());
        context->thread_count = 1;
        if (!codec || avcodec_open2(context.get(), codec, nullptr) < 0)
            return {};
    }
    std::vector<uint8_t> out;
    AVFramePtr f = MakeFrame();
    for (size_t i = 0; i <= packets.size(); ++i) {
        avcodec_send_packet(context.get(), i < packets.size() ? packets[i].get() : nullptr);
        for (; avcodec_receive_frame(context.get(), f.get()) >= 0; av_frame_unref(f.get())) {
            const size_t at = out.size();
            if (context->codec_type == AVMEDIA_TYPE_VIDEO) {
                const auto format = static_cast<AVPixelFormat>(f->format);
                const int size = av_image_get_buffer_size(format, f->width, f->height, 1);
                out.resize(at + static_cast<size_t>(size));
                av_image_copy_to_buffer(out.data() + at, size, f->data, f->linesize, format, f->width, f->height, 1);
                continue;
            }
            const auto format = static_cast<AVSampleFormat>(f->format);
            const int channels = f->ch_layout.nb_channels, planes = av_sample_fmt_is_planar(format) ? channels : 1;
            const auto bytes = static_cast<size_t>(f->nb_samples * av_get_bytes_per_sample(format) * channels / planes);
            for (int p = 0; p < planes; ++p)
                out.insert(out.end(), f->extended_data[p], f->extended_data[p] + bytes);
        }
    }
    return out;
}

} // namespace

struct RoundTripClip {
    const char* name;
    const char* ffmpegArgs;
    size_t packetsPerStream;
};

class WireStreamRoundTrip : public ::testing::TestWithParam<RoundTripClip> {};

// Decodes the first packets of every stream twice: once from the demuxer's
// description, once from the description rebuilt from its wire form.
TEST_P(WireStreamRoundTrip, RebuiltDescriptionDecodesLikeTheOriginal)
{
    const std::string path = MakeClip(GetParam().name, GetParam().ffmpegArgs);
    auto input = OpenInput(path);
    std::map<int, std::vector<AVPacketPtr>> packets;
    for (AVPacketPtr pkt = MakePacket(); av_read_frame(input.get(), pkt.get()) >= 0; av_packet_unref(pkt.get()))
        if (packets[pkt->stream_index].size() < GetParam().packetsPerStream)
            packets[pkt->stream_index].emplace_back(av_packet_clone(pkt.get()));
    for (unsigned index = 0; index < input->nb_streams; ++index) {
        SCOPED_TRACE(path + " stream " + std::to_string(index));
        const auto original = FFCodecInfo::FromStream(input->streams[index]);
        const auto wire = original->Serialize();
        const auto rebuilt = CreateFromSerialized(*wire);
        const auto again = rebuilt->Serialize();
        EXPECT_TRUE(again->size == wire->size && !std::memcmp(again->data.get(), wire->data.get(), size_t(wire->size)));
        const auto outA = DecodeAll(*original, packets[static_cast<int>(index)]);
        EXPECT_FALSE(outA.empty());
        EXPECT_TRUE(outA == DecodeAll(dynamic_cast<FFCodecInfo&>(*rebuilt), packets[static_cast<int>(index)]))
            << "decoded output differs";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, WireStreamRoundTrip,
    ::testing::Values(
        RoundTripClip{"rt_h264_aac.mp4",
                      "-f lavfi -i testsrc2=size=176x144:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                      "-t 1 -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -ac 2",
                      20},
        RoundTripClip{"rt_mpeg4.avi", "-f lavfi -i testsrc2=size=176x144:rate=25 -t 1 -c:v mpeg4 -bf 1", 15},
        RoundTripClip{"rt_mjpeg.avi", "-f lavfi -i testsrc2=size=176x144:rate=25 -t 0.5 -c:v mjpeg -pix_fmt yuvj422p", 6},
        RoundTripClip{"rt_mulaw.wav", "-f lavfi -i sine=frequency=300:sample_rate=8000 -t 1 -c:a pcm_mulaw", 10}),
    [](const auto& info) {
        std::string name = info.param.name;
        return name.substr(3, name.find('.') - 3);
    });

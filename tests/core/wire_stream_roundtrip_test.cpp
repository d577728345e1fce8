// A real stream description survives its wire form: decoders opened from the
// original and from the rebuilt description give identical output.
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

struct Decoder {
    AVCodecContextPtr context;

    explicit Decoder(const FFCodecInfo& info)
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        const AVCodec* codec = avcodec_find_decoder(info.Context()->codec_id);
        if (!codec)
            throw std::runtime_error("no decoder");
        context.reset(avcodec_alloc_context3(codec));
        CopyCodecDescription(context.get(), info.Context());
        context->thread_count = 1;
        if (avcodec_open2(context.get(), codec, nullptr) < 0)
            throw std::runtime_error("cannot open decoder");
    }

    // Every output frame's bytes (planes or samples) concatenated.
    std::vector<uint8_t> Decode(const std::vector<AVPacketPtr>& packets)
    {
        std::vector<uint8_t> out;
        AVFramePtr frame = MakeFrame();
        auto drain = [&] {
            while (avcodec_receive_frame(context.get(), frame.get()) >= 0) {
                Append(*frame, out);
                av_frame_unref(frame.get());
            }
        };
        for (const auto& p : packets) {
            avcodec_send_packet(context.get(), p.get());
            drain();
        }
        avcodec_send_packet(context.get(), nullptr);
        drain();
        return out;
    }

    void Append(const AVFrame& f, std::vector<uint8_t>& out)
    {
        if (context->codec_type == AVMEDIA_TYPE_VIDEO) {
            const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(f.format), f.width, f.height, 1);
            const size_t at = out.size();
            out.resize(at + static_cast<size_t>(size));
            av_image_copy_to_buffer(out.data() + at, size, f.data, f.linesize, static_cast<AVPixelFormat>(f.format),
                                    f.width, f.height, 1);
        } else {
            const int planes = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f.format)) ? f.ch_layout.nb_channels : 1;
            const int bytes = av_samples_get_buffer_size(nullptr, f.ch_layout.nb_channels, f.nb_samples,
                                                         static_cast<AVSampleFormat>(f.format), 1) / planes;
            for (int p = 0; p < planes; ++p)
                out.insert(out.end(), f.extended_data[p], f.extended_data[p] + bytes);
        }
    }
};

// Decodes the first packets of every stream of `path` twice: once from the
// demuxer's description, once from the description rebuilt from its wire form.
void CheckRoundTrip(const std::string& path, size_t packetsPerStream)
{
    auto input = OpenInput(path);
    std::map<int, std::shared_ptr<FFCodecInfo>> originals;
    std::map<int, std::vector<AVPacketPtr>> packets;
    for (unsigned i = 0; i < input->nb_streams; ++i)
        originals[static_cast<int>(i)] = FFCodecInfo::FromStream(input->streams[i]);

    AVPacketPtr pkt = MakePacket();
    while (av_read_frame(input.get(), pkt.get()) >= 0) {
        auto& list = packets[pkt->stream_index];
        if (list.size() < packetsPerStream)
            list.emplace_back(av_packet_clone(pkt.get()));
        av_packet_unref(pkt.get());
    }

    for (auto& [index, original] : originals) {
        SCOPED_TRACE(path + " stream " + std::to_string(index));
        auto wire = original->Serialize();
        auto rebuiltRecord = CreateFromSerialized(*wire);
        auto& rebuilt = dynamic_cast<FFCodecInfo&>(*rebuiltRecord);
        EXPECT_EQ(rebuilt.GetSerializedSize(), wire->size);
        EXPECT_EQ(rebuilt.timeBaseNum, original->timeBaseNum);
        EXPECT_EQ(rebuilt.timeBaseDen, original->timeBaseDen);
        EXPECT_EQ(rebuilt.GetStreamType(), original->GetStreamType());
        // Serializing the rebuilt description gives the same bytes again.
        auto again = rebuilt.Serialize();
        ASSERT_EQ(again->size, wire->size);
        EXPECT_EQ(0, std::memcmp(again->data.get(), wire->data.get(), static_cast<size_t>(wire->size)));

        Decoder a(*original), b(rebuilt);
        auto outA = a.Decode(packets[index]);
        auto outB = b.Decode(packets[index]);
        EXPECT_FALSE(outA.empty());
        EXPECT_TRUE(outA == outB) << "decoded output differs";
    }
}

} // namespace

struct RoundTripClip {
    const char* name;
    const char* ffmpegArgs;
    size_t packetsPerStream;
};

class WireStreamRoundTrip : public ::testing::TestWithParam<RoundTripClip> {};

TEST_P(WireStreamRoundTrip, RebuiltDescriptionDecodesLikeTheOriginal)
{
    CheckRoundTrip(MakeClip(GetParam().name, GetParam().ffmpegArgs), GetParam().packetsPerStream);
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

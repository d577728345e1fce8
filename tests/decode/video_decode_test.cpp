// Decoding pictures from real clips: order, times, end of stream, size changes.
#include "DecodeTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace DecodeTest;
using namespace Quillet;

namespace {

const char* kH264 = "dec_h264_bframes.mp4";
const char* kMpeg4 = "dec_mpeg4.avi";

bool MakeH264()
{
    return MakeMedia(kH264, "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p");
}
bool MakeMpeg4()
{
    return MakeMedia(kMpeg4, "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v mpeg4 -bf 2 -g 10");
}

void ExpectEveryPictureOnceInOrder(const std::string& file)
{
    Demuxed d = Demux(file, true, false);
    const std::vector<double> expected = ProbeFrameTimes(file, d.videoTimeBase);
    ASSERT_GT(expected.size(), 10u);

    RecordingMessenger messenger("decode-order-" + file);
    FFDecode decode;
    decode.SetMessenger(&messenger);
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    VideoRun run = FeedAndRead(decode, d.records);

    ASSERT_EQ(run.pictures.size(), expected.size());
    const double tick = av_q2d(d.videoTimeBase);
    for (size_t i = 0; i < expected.size(); ++i) {
        // A picture without a timestamp continues one tick after its predecessor.
        const double want = std::isnan(expected[i]) ? (i == 0 ? 0.0 : run.pictures[i - 1].time + tick) : expected[i];
        EXPECT_NEAR(run.pictures[i].time, want, 1e-9) << "picture " << i;
        EXPECT_EQ(run.pictures[i].first, i == 0) << "picture " << i;
        EXPECT_EQ(run.pictures[i].width, 96);
        EXPECT_EQ(run.pictures[i].pixels.size(), 96u * 64u * 3u);
    }
    // End of stream: -1 exactly once, then only 0, and the engine hears of it once.
    ASSERT_FALSE(run.sizes.empty());
    EXPECT_EQ(std::count(run.sizes.begin(), run.sizes.end(), -1), 1);
    EXPECT_EQ(run.sizes.back(), -1);
    EXPECT_EQ(std::count(messenger.messages.begin(), messenger.messages.end(), EndOfStream), 1);
    EXPECT_EQ(messenger.CountLinesStartingWith("INFO FFDecode::_ReadVideoFrame: Sending EOS to top side"), 1);
}

} // namespace

TEST(FFDecodeVideo, H264WithBFramesGivesEveryPictureOnceAtProbedTimes)
{
    ASSERT_TRUE(MakeH264());
    ExpectEveryPictureOnceInOrder(kH264);
}

TEST(FFDecodeVideo, Mpeg4InAviGivesEveryPictureOnceAtProbedTimes)
{
    ASSERT_TRUE(MakeMpeg4());
    ExpectEveryPictureOnceInOrder(kMpeg4);
}

TEST(FFDecodeVideo, ResolutionChangeMidStreamWarnsOnceAndFollowsTheNewSize)
{
    // Two raw H.264 streams back to back: the second one's parameter sets
    // switch the size without a new stream description.
    ASSERT_TRUE(MakeMedia("dec_part1.h264", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 0.4 -c:v libx264 -bf 0 -f h264"));
    ASSERT_TRUE(MakeMedia("dec_part2.h264", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 0.4 -c:v libx264 -bf 0 -f h264"));
    ASSERT_TRUE(MakeMedia("dec_sizechange.h264", "-i 'concat:dec_part1.h264|dec_part2.h264' -c copy -f h264"));

    Demuxed d = Demux("dec_sizechange.h264", true, false);
    RecordingMessenger messenger("decode-sizechange");
    FFDecode decode;
    decode.SetMessenger(&messenger);
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    VideoRun run = FeedAndRead(decode, d.records);

    ASSERT_EQ(run.pictures.size(), 20u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(run.pictures[i].width, 96);
        EXPECT_EQ(run.pictures[i].pixels.size(), 96u * 64u * 3u);
    }
    for (size_t i = 10; i < 20; ++i) {
        EXPECT_EQ(run.pictures[i].width, 64);
        EXPECT_EQ(run.pictures[i].height, 48);
        EXPECT_EQ(run.pictures[i].pixels.size(), 64u * 48u * 3u);
    }
    EXPECT_EQ(messenger.CountLinesStartingWith("WARN Changing from "), 1);
}

TEST(FFDecodeVideo, CodecChangeKeepsTheDelayedPicturesOfTheOldStream)
{
    // Two complete streams in a row, each announced by its own description:
    // the B-frame delay of the first must not swallow its last pictures.
    ASSERT_TRUE(MakeH264());
    ASSERT_TRUE(MakeMpeg4());
    Demuxed h = Demux(kH264, true, false);
    Demuxed m = Demux(kMpeg4, true, false);
    const size_t expected = ProbeFrameTimes(kH264, h.videoTimeBase).size() +
                            ProbeFrameTimes(kMpeg4, m.videoTimeBase).size();
    std::vector<std::shared_ptr<FFData>> records;
    records.push_back(h.codec->video);
    records.insert(records.end(), h.records.begin() + 1, h.records.end() - 1);
    records.push_back(m.codec->video);
    records.insert(records.end(), m.records.begin() + 1, m.records.end());
    FFDecode decode;
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    VideoRun run = FeedAndRead(decode, records);
    EXPECT_EQ(run.pictures.size(), expected);
}

TEST(FFDecodeVideo, ZeroTimestampsAfterTheFirstPictureContinueByOneTick)
{
    // AVI time base is one frame, so the repair adds one frame duration.
    ASSERT_TRUE(MakeMpeg4());
    Demuxed d = Demux(kMpeg4, true, false);
    for (auto& r : d.records)
        if (r->type == FFType::Packet) {
            auto* p = static_cast<FFPacket*>(r.get())->Get();
            p->pts = 0;
            p->dts = AV_NOPTS_VALUE;
        }
    RecordingMessenger messenger("decode-zerots");
    FFDecode decode;
    decode.SetMessenger(&messenger);
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    VideoRun run = FeedAndRead(decode, d.records);
    ASSERT_GT(run.pictures.size(), 5u);
    const double tb = av_q2d(d.videoTimeBase);
    EXPECT_DOUBLE_EQ(run.pictures[0].time, 0.0);
    // The first picture leaves the running time at 0, so the second lands on one tick.
    for (size_t i = 1; i < run.pictures.size(); ++i)
        EXPECT_NEAR(run.pictures[i].time, static_cast<double>(i) * tb, 1e-9) << "picture " << i;
    EXPECT_GE(messenger.CountLinesStartingWith("INFO Position = 0 not in first frame. Set to "), 1);
}

TEST(FFDecodeVideo, PacketBeforeAnyDescriptionThrowsAndLosesNothingElse)
{
    ASSERT_TRUE(MakeH264());
    Demuxed d = Demux(kH264, true, false);
    FFDecode decode;
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    decode.FFProcess(d.records[1]);
    try {
        decode.ReadVideo();
        FAIL() << "expected an exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "_videoCodec may not be nullptr before decoding");
    }
    EXPECT_EQ(decode.VideoQueueSize(), 0u);
}

TEST(FFDecodeVideo, DescriptionWithoutPixelFormatIsRefused)
{
    ASSERT_TRUE(MakeH264());
    Demuxed d = Demux(kH264, true, false);
    FFDecode decode; // no SetColorSpace
    decode.FFProcess(d.codec);
    EXPECT_THROW(decode.ReadVideo(), std::logic_error);
    EXPECT_FALSE(decode.HasVideoCodec());
}

TEST(FFDecodeVideo, UnknownCodecIsReportedAndLeavesNoDecoder)
{
    auto info = std::make_shared<FFCodecInfo>();
    info->Context()->codec_type = AVMEDIA_TYPE_VIDEO;
    info->Context()->codec_id = AV_CODEC_ID_NONE;
    info->SetStreamType(FFStreamType::Video);
    FFDecode decode;
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    decode.FFProcess(info);
    try {
        decode.ReadVideo();
        FAIL() << "expected an exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Video codec not found");
    }
    EXPECT_FALSE(decode.HasVideoCodec());
}

TEST(FFDecodeVideo, ConnectionNoticeIsRaisedToTheMessenger)
{
    RecordingMessenger messenger("decode-connection");
    FFDecode decode;
    decode.SetMessenger(&messenger);
    decode.FFProcess(std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "camera gone"));
    EXPECT_EQ(decode.ReadVideo().size, 0);
    ASSERT_EQ(messenger.connections.size(), 1u);
    EXPECT_EQ(messenger.connections[0].first, ConnectionStatus::ConnectionLost);
    EXPECT_EQ(messenger.connections[0].second, "camera gone");
}

TEST(FFDecodeVideo, RecordsArrivingOnAnotherThreadAreAllDecodedInOrder)
{
    // The source pushes on its own thread and waits while the decoder is
    // full; the reader decodes on the application's thread.
    ASSERT_TRUE(MakeH264());
    Demuxed d = Demux(kH264, true, false);
    const std::vector<double> expected = ProbeFrameTimes(kH264, d.videoTimeBase);
    FFDecode decode;
    decode.SetColorSpace(AV_PIX_FMT_BGR24);
    std::thread producer([&] {
        for (const auto& r : d.records) {
            while (decode.GetStatus().MustWait())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            decode.FFProcess(r);
        }
    });
    std::vector<double> times;
    int last = 0;
    for (int idle = 0; idle < 20000 && last >= 0;) {
        const FFCLIFrame f = decode.ReadVideo();
        last = f.size;
        if (f.size > 0) {
            times.push_back(f.frame->GetFrameTime());
            idle = 0;
        } else if (f.size == 0) {
            ++idle;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    producer.join();
    EXPECT_EQ(last, -1);
    ASSERT_EQ(times.size(), expected.size());
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(times[i], expected[i], 1e-9);
}

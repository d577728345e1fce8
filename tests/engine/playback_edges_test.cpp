// Playback outside the plain clip table: streams that change size or codec
// midway, timestamps to repair, input that is not what it claims, the audio
// host's side of the contract, and tearing down while a reader is busy.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "support/DecodeFeed.h"
#include "support/WaitFor.h"
#include "core/FFError.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace DecodeTest;
using namespace Quillet::Testing;

namespace {

const std::string kSmall = "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 ";

class PlaybackEdges : public ::testing::TestWithParam<int> {
protected:
    // A decoder node fed by hand, on the threads under test.
    VideoRun DecodeRecords(const std::vector<std::shared_ptr<FFData>>& records, CapturingMessenger* messenger = nullptr)
    {
        FFDecode decode;
        if (messenger)
            decode.SetMessenger(messenger);
        decode.SetDecodingThreads(GetParam());
        decode.SetColorSpace(AV_PIX_FMT_BGR24);
        return FeedAndRead(decode, records);
    }
};

} // namespace

TEST_P(PlaybackEdges, SizeChangeMidStreamFollowsTheNewSize)
{
    // Two raw H.264 streams back to back: the second one's parameter sets
    // switch the size without a new stream description.
    MakeClip("pe_part1.h264", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 0.4 -c:v libx264 -bf 0 -f h264");
    MakeClip("pe_part2.h264", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 0.4 -c:v libx264 -bf 0 -f h264");
    MakeClip("pe_sizechange.h264", "-i 'concat:pe_part1.h264|pe_part2.h264' -c copy -f h264");
    VideoRun run = DecodeRecords(Demux("pe_sizechange.h264", true, false).records);
    ASSERT_EQ(run.pictures.size(), 20u);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(std::make_tuple(run.pictures[i].width, run.pictures[i].height, run.pictures[i].pixels.size()),
                  i < 10 ? std::make_tuple(96, 64, 96u * 64 * 3) : std::make_tuple(64, 48, 64u * 48 * 3))
            << "picture " << i;
}

TEST_P(PlaybackEdges, CodecChangeKeepsThePicturesTheOldDecoderHeldBack)
{
    // Two streams in a row, each announced by its own description: neither
    // the B-frame delay nor codec threads may swallow the first one's last pictures.
    Demuxed h = Demux(MakeClip("pe_h264.mp4", kSmall + "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p"), true, false);
    Demuxed m = Demux(MakeClip("pe_mpeg4.avi", kSmall + "-c:v mpeg4 -bf 2 -g 10"), true, false);
    std::vector<std::shared_ptr<FFData>> records{h.codec->video};
    records.insert(records.end(), h.records.begin() + 1, h.records.end() - 1);
    records.push_back(m.codec->video);
    records.insert(records.end(), m.records.begin() + 1, m.records.end());
    CapturingMessenger messenger("edges-codec-change");
    VideoRun run = DecodeRecords(records, &messenger);
    const auto want = ProbeFrameTimes("pe_h264.mp4"), second = ProbeFrameTimes("pe_mpeg4.avi");
    ASSERT_EQ(run.pictures.size(), want.size() + second.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(run.pictures[i].time, want[i], 1e-9) << "picture " << i;
    // End of stream: -1 exactly once and last, and the engine hears of it once.
    EXPECT_EQ(std::count(run.sizes.begin(), run.sizes.end(), -1), 1);
    EXPECT_EQ(run.sizes.back(), -1);
    EXPECT_EQ(std::count(messenger.messages.begin(), messenger.messages.end(), FFMessageType::EndOfStream), 1);
}

TEST_P(PlaybackEdges, PicturesWithoutATimeContinueByOneTick)
{
    Demuxed d = Demux(MakeClip("pe_mpeg4.avi", kSmall + "-c:v mpeg4 -bf 2 -g 10"), true, false);
    for (auto& r : d.records)
        if (r->type == FFType::Packet) {
            static_cast<FFPacket*>(r.get())->Get()->pts = AV_NOPTS_VALUE;
            static_cast<FFPacket*>(r.get())->Get()->dts = AV_NOPTS_VALUE;
        }
    VideoRun run = DecodeRecords(d.records);
    ASSERT_GT(run.pictures.size(), 5u);
    for (size_t i = 0; i < run.pictures.size(); ++i)
        EXPECT_NEAR(run.pictures[i].time, static_cast<double>(i) * av_q2d(d.videoTimeBase), 1e-9) << "picture " << i;
}

TEST_P(PlaybackEdges, StopCloseAndDestroyWhileReadingNeverDeadlock)
{
    const auto clip = MakeClip("pe_h264.mp4", kSmall + "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p");
    for (int round = 0; round < 12; ++round) {
        auto engine = std::make_unique<FFEngine>("PlaybackEdges");
        UseDecodingThreads(*engine, GetParam());
        ASSERT_TRUE(engine->OpenSource(clip));
        engine->PrepareVideoDecode(AV_PIX_FMT_BGR24);
        ASSERT_TRUE(engine->StartEngine());
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            while (!stop)
                engine->ReadVideo();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        if (round % 3 == 0)
            engine->StopEngine();
        else if (round % 3 == 1)
            engine->CloseSource();
        stop = true;
        reader.join();
        engine->CloseSource();
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, PlaybackEdges, DecodingThreadsUnderTest(),
                         [](const auto& info) { return DecodingThreadsName(info.param); });

// Unopenable and damaged files are tabled at the facade (hostile_input_test).
TEST(PlaybackInput, MissingDescriptionsGiveAClearResult)
{
    Demuxed d = Demux(MakeClip("pe_h264.mp4", kSmall + "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p"), true, false);
    FFDecode packetFirst;
    packetFirst.SetColorSpace(AV_PIX_FMT_BGR24);
    packetFirst.FFProcess(d.records[1]);
    EXPECT_THROW(packetFirst.ReadVideo(), FFError);
    EXPECT_EQ(packetFirst.VideoQueueSize(), 0u);
    FFDecode noPixelFormat;
    noPixelFormat.FFProcess(d.codec);
    EXPECT_THROW(noPixelFormat.ReadVideo(), std::logic_error);
    auto unknown = std::make_shared<FFCodecInfo>();
    unknown->Context()->codec_type = AVMEDIA_TYPE_VIDEO;
    unknown->SetStreamType(FFStreamType::Video);
    FFDecode unknownCodec;
    unknownCodec.SetColorSpace(AV_PIX_FMT_BGR24);
    unknownCodec.FFProcess(unknown);
    EXPECT_THROW(unknownCodec.ReadVideo(), FFError);
    EXPECT_FALSE(unknownCodec.HasVideoCodec());
}

TEST(PlaybackInput, ConnectionNoticeIsLeftToTheSourceAndDisabledAudioIsDropped)
{
    // The camera source raises a lost connection itself; the decoder passing
    // the record's notice on as well told the application twice per loss.
    CapturingMessenger messenger("edges-connection");
    FFDecode decode;
    decode.SetMessenger(&messenger);
    decode.FFProcess(std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "camera gone"));
    EXPECT_EQ(decode.ReadVideo().size, 0);
    EXPECT_TRUE(messenger.connections.empty());

    Demuxed d = Demux(MakeClip("pe_stereo.wav", "-f lavfi -i aevalsrc='0.5*sin(440*2*PI*t)':s=44100:d=1"),
                       false, true);
    ASSERT_GT(d.records.size(), 6u);
    for (size_t i = 0; i < 5; ++i)
        decode.FFProcess(d.records[i]);
    decode.EnableAudio(false);
    EXPECT_EQ(decode.AudioQueueSize(), 1u); // the description only
    decode.FFProcess(d.records[5]);
    EXPECT_EQ(decode.AudioQueueSize(), 1u);
}

TEST(PlaybackAudioHost, AskedFirstEmptyHandedWhilePausedAndForgottenAtClose)
{
    const auto clip = MakeClip("pe_av.mkv", "-f lavfi -i testsrc2=size=96x64:rate=25:duration=1.5 -f lavfi -i "
                                            "aevalsrc='0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t)':s=44100:d=1 "
                                            "-c:v mpeg4 -q:v 5 -c:a pcm_s16le");
    FFEngine engine("PlaybackEdges");
    RecordingHost host(4000, 1);
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0) << "no host set";
    ASSERT_TRUE(engine.OpenSource(clip));
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    engine.SetAudioInterface(&host);
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);
    host.wants = false;
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.submits, 0);
    host.wants = true;
    engine.Pause();
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.emptySubmits, 1);
    EXPECT_TRUE(host.Samples().empty());
    // A seek brings sound back (where, the seek table checks), in blocks the
    // host's buffer was resized to.
    engine.Continue();
    engine.Seek(0.3);
    ASSERT_GT(NextPicture(engine).size, 0);
    ASSERT_TRUE(WaitFor([&] { return engine.ReadAudioFromInterface() >= 0; }, 4s));
    EXPECT_EQ(host.Samples().size(), 2048u);
    engine.CloseSource();
    const int asked = host.askedWants;
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.askedWants, asked);
}

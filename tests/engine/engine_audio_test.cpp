// Sound through the engine's host interface, end to end from a file with
// pictures and sound, against the ffmpeg tool's own 16-bit decode: exact for
// 16-bit sources, close for AAC and for 5.1 AC-3 mixed down to stereo; the
// reported format is the delivered one; nothing flows while paused.
#include <gtest/gtest.h>

#include "support/CapturingAppender.h"
#include "support/EnginePlayback.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// The pictures run half a second longer than the sound, so every audio
// packet is queued well before the end of stream closes the source.
const std::string kPictures = "-f lavfi -i testsrc2=size=96x64:rate=25:duration=1.5 ";
const std::string kVideoCodec = " -c:v mpeg4 -q:v 5 ";

std::vector<int16_t> ToolPcm(const std::string& clip, int channels)
{
    const std::string out = clip + "." + std::to_string(getpid()) + ".s16";
    Run("ffmpeg -nostdin -v error -y -i " + clip + " -map 0:a -ac " + std::to_string(channels) + " -f s16le " + out);
    const auto bytes = ReadBytes(out);
    std::remove(out.c_str());
    std::vector<int16_t> s(bytes.size() / 2);
    if (!s.empty())
        std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

int MaxSampleDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    int worst = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

struct Played {
    std::vector<int16_t> samples;
    std::vector<double> times;
    int rate = 0, bits = 0, channels = 0;
    bool formatKnown = false;
    bool isAudio = false;
    size_t resamplerSetups = 0;
};

// Plays the whole clip, pulling every audio block before each picture.
Played PlayWithSound(const std::string& clip, size_t bufferBytes, int buffersPerCall = 3)
{
    Played p;
    FFEngine engine("EngineAudioTest");
    ScopedCapture capture(engine.Category(), 600);
    RecordingHost host(bufferBytes, buffersPerCall);
    EXPECT_TRUE(engine.OpenSource(clip));
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    p.isAudio = engine.IsAudio();
    p.formatKnown = engine.GetAudioFormat(&p.rate, &p.bits, &p.channels);
    engine.SetAudioInterface(&host);
    EXPECT_TRUE(engine.StartEngine());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (double t; (t = engine.ReadAudioFromInterface()) >= 0;)
            p.times.push_back(t);
        if (engine.ReadVideo().size < 0)
            break;
        std::this_thread::sleep_for(1ms);
    }
    p.samples = host.Samples();
    for (const auto& line : capture->Lines())
        p.resamplerSetups += line.text == "FFPCMConvert::_Initialize";
    engine.CloseSource();
    return p;
}

void ExpectFormat(const Played& p, int rate, int channels)
{
    EXPECT_TRUE(p.isAudio);
    ASSERT_TRUE(p.formatKnown);
    EXPECT_EQ(p.rate, rate);
    EXPECT_EQ(p.bits, 16);
    EXPECT_EQ(p.channels, channels);
    EXPECT_TRUE(std::is_sorted(p.times.begin(), p.times.end()));
}

} // namespace

TEST(EngineAudio, SixteenBitStereoIsSampleExactWithoutAResampler)
{
    const auto clip = MakeClip("eaud_s16_stereo.mkv", kPictures + "-f lavfi -i aevalsrc='0.5*sin(440*2*PI*t)|"
                                                      "0.3*sin(660*2*PI*t)':s=44100:d=1" + kVideoCodec + "-c:a pcm_s16le");
    // One buffer per call: each reported time is that of the block handed over.
    const Played p = PlayWithSound(clip, 4000, 1);
    ExpectFormat(p, 44100, 2);
    const auto ref = ToolPcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(p.samples, ref);
    EXPECT_EQ(p.resamplerSetups, 0u);
    ASSERT_FALSE(p.times.empty());
    EXPECT_DOUBLE_EQ(p.times.front(), 0.0);
}

TEST(EngineAudio, SixteenBitMonoStaysMonoAndIsSampleExact)
{
    const auto clip = MakeClip("eaud_s16_mono.mkv", kPictures + "-f lavfi -i aevalsrc='0.6*sin(300*2*PI*t)':"
                                                    "s=22050:d=1" + kVideoCodec + "-c:a pcm_s16le");
    const Played p = PlayWithSound(clip, 1000);
    ExpectFormat(p, 22050, 1);
    const auto ref = ToolPcm(clip, 1);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(p.samples, ref);
}

TEST(EngineAudio, AacStereoIsCloseToTheTool)
{
    const auto clip = MakeClip("eaud_aac.mp4", kPictures + "-f lavfi -i aevalsrc='0.5*sin(440*2*PI*t)|"
                                               "0.3*sin(660*2*PI*t)':s=48000:d=1" + kVideoCodec + "-c:a aac -b:a 128k");
    const Played p = PlayWithSound(clip, 4096);
    ExpectFormat(p, 48000, 2);
    const auto ref = ToolPcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(p.samples.size(), ref.size());
    EXPECT_LE(MaxSampleDifference(p.samples, ref), 2);
    // Planar float in, so exactly one resampler for the stream.
    EXPECT_EQ(p.resamplerSetups, 1u);
}

TEST(EngineAudio, FivePointOneAc3IsMixedDownToTwoChannelsLikeTheTool)
{
    const auto clip = MakeClip("eaud_ac3_51.mkv", kPictures + "-f lavfi -i aevalsrc='0.3*sin(200*2*PI*t)|"
                                                  "0.3*sin(300*2*PI*t)|0.3*sin(400*2*PI*t)|0.2*sin(50*2*PI*t)|"
                                                  "0.3*sin(500*2*PI*t)|0.3*sin(600*2*PI*t)':s=48000:d=1:c=5.1" +
                                                  kVideoCodec + "-c:a ac3 -b:a 384k");
    const Played p = PlayWithSound(clip, 4096);
    ExpectFormat(p, 48000, 2);
    const auto ref = ToolPcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(p.samples.size(), ref.size());
    EXPECT_LE(MaxSampleDifference(p.samples, ref), 2);
}

TEST(EngineAudio, HostIsAskedFirstAndGetsEmptyHandsWhilePaused)
{
    const auto clip = MakeClip("eaud_s16_stereo.mkv", kPictures + "-f lavfi -i aevalsrc='0.5*sin(440*2*PI*t)|"
                                                      "0.3*sin(660*2*PI*t)':s=44100:d=1" + kVideoCodec + "-c:a pcm_s16le");
    FFEngine engine("EngineAudioTest");
    RecordingHost host(4000, 1);
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0) << "no host set";
    ASSERT_TRUE(engine.OpenSource(clip));
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    engine.SetAudioInterface(&host);
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);

    // A host that wants nothing is not handed anything.
    host.wants = false;
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.submits, 0);
    host.wants = true;

    engine.Pause();
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.submits, 1);
    EXPECT_EQ(host.emptySubmits, 1);
    EXPECT_TRUE(host.Samples().empty());

    // Continue drops what was queued while paused; a seek brings sound back,
    // starting at the picture.
    engine.Continue();
    engine.Seek(0.3);
    const Shown picture = NextPicture(engine);
    ASSERT_GT(picture.size, 0);
    double t = -1.0;
    for (int i = 0; i < 2000 && t < 0; ++i) {
        t = engine.ReadAudioFromInterface();
        if (t < 0)
            std::this_thread::sleep_for(2ms);
    }
    EXPECT_GE(t, picture.time - 1e-6);
    EXPECT_LT(t, picture.time + 0.1);
    // The 4000-byte host buffer was resized to the 1024-frame block it received.
    EXPECT_EQ(host.Samples().size(), 2048u);

    // Closing forgets the host: it must be set again after reopening.
    engine.CloseSource();
    const int asked = host.askedWants;
    EXPECT_EQ(engine.ReadAudioFromInterface(), -1.0);
    EXPECT_EQ(host.askedWants, asked);
}

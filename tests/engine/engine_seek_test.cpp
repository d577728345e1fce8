// Seeking and pausing through the engine, checked against the ffmpeg tool's
// full decode of the same clip: the first picture after a seek is the one at
// or after the target, pixel for pixel; audio resumes at the picture; a seek
// while paused shows one picture and scrubbing inside the held band decodes
// nothing; Continue re-issues a seek whose picture never came.
#include <gtest/gtest.h>

#include "engine_seek_host.h"
#include "engine_seek_support.h"
#include "support/CapturingAppender.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::Testing;
using namespace EngineSeekTest;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr size_t kPictureBytes = kWidth * kHeight * 3;
constexpr int kTolerance = 4;

// Four seconds, a key frame every second (0, 1, 2, 3), two B-frames, AAC sound.
std::string SeekClip()
{
    return MakeClip("seek_h264_bf.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                        "sine=frequency=330:sample_rate=48000 -t 4 -c:v libx264 -bf 2 -g 25 "
                                        "-keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac -b:a 64k");
}

const ReferencePictures& Reference()
{
    static const ReferencePictures ref(SeekClip(), kPictureBytes);
    return ref;
}

std::vector<double> AudioPacketTimes(const std::string& clip)
{
    return ParseTimes(Capture("ffprobe -v error -select_streams a:0 -show_entries packet=pts_time -of csv=p=0 " + clip));
}

// Exposes the decoder's picture counter to the tests.
class ProbedEngine : public FFEngine {
public:
    ProbedEngine() : FFEngine("EngineSeekTest") {}
    ~ProbedEngine() override { CloseSource(); }
    uint64_t DecodedPictures() const { return _decode.DecodedPictures(); }
};

void ExpectReferencePicture(const Shown& shown, double target, const std::string& what)
{
    const auto& ref = Reference();
    const int index = ref.AtOrAfter(target);
    ASSERT_GE(index, 0) << what;
    ASSERT_GT(shown.size, 0) << what << ": no picture";
    EXPECT_GE(shown.time, std::max(target, 0.0) - 1e-6) << what;
    EXPECT_NEAR(shown.time, ref.times[static_cast<size_t>(index)], 1e-3) << what;
    EXPECT_LE(MaxDifference(shown.pixels, ref.pixels[static_cast<size_t>(index)]), kTolerance) << what;
}

// Polls for a while (pictures included) and returns how many pictures came.
int PicturesWithin(FFEngine& engine, std::chrono::milliseconds span)
{
    int pictures = 0;
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        if (engine.ReadVideo().size > 0)
            ++pictures;
        std::this_thread::sleep_for(2ms);
    }
    return pictures;
}

// Reads (and counts) pictures until the traffic node falls back to Paused.
int PicturesUntilPaused(FFEngine& engine, std::chrono::milliseconds limit = 5000ms)
{
    int pictures = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!engine.IsPause() && std::chrono::steady_clock::now() < end) {
        if (engine.ReadVideo().size > 0)
            ++pictures;
        std::this_thread::sleep_for(2ms);
    }
    return pictures;
}

bool OpenAndPrepare(FFEngine& engine)
{
    if (!engine.OpenSource(SeekClip()))
        return false;
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    return true;
}

} // namespace

TEST(EngineSeek, FirstPictureAfterEachSeekIsTheToolsPictureAtThatTimeAndAudioFollowsIt)
{
    const auto audioTimes = AudioPacketTimes(SeekClip());
    ASSERT_EQ(Reference().times.size(), 100u);
    ASSERT_EQ(Reference().pixels.size(), 100u);
    ASSERT_FALSE(audioTimes.empty());

    ProbedEngine engine;
    RecordingHost host(4096, 1);
    ASSERT_TRUE(OpenAndPrepare(engine));
    ASSERT_TRUE(engine.StartEngine());
    engine.SetAudioInterface(&host);
    ASSERT_GT(NextPicture(engine).size, 0);

    // Inside intervals, on and next to key frames, before the first picture,
    // the last picture, between picture times; back and forth.
    const double targets[] = {1.5, 0.01, 3.96, 1.0, -0.5, 2.97, 0.96, 2.0, 1.02, 0.0, 1.99, 0.5, 3.0};
    for (double target : targets) {
        const std::string what = "seek to " + std::to_string(target);
        engine.Seek(target);
        const Shown shown = NextPicture(engine);
        ExpectReferencePicture(shown, target, what);
        EXPECT_TRUE(shown.first) << what;

        // Sound resumes with the first packet at or after the picture.
        double audio = -1.0;
        for (int i = 0; i < 2000 && audio < 0; ++i) {
            audio = engine.ReadAudioFromInterface();
            if (audio < 0)
                std::this_thread::sleep_for(2ms);
        }
        const auto expected = std::find_if(audioTimes.begin(), audioTimes.end(),
                                           [&](double a) { return a >= shown.time - 1e-4; });
        if (expected == audioTimes.end())
            EXPECT_LT(audio, 0.0) << what;
        else
            EXPECT_NEAR(audio, *expected, 1e-3) << what;
    }

    // Past the end: no picture and no sound, the seek stays pending ...
    engine.Seek(4.5);
    const Shown none = NextPicture(engine, 1500ms);
    EXPECT_EQ(none.size, 0);
    EXPECT_EQ(none.status, FFStatus::Seeking);
    EXPECT_LT(engine.ReadAudioFromInterface(), 0.0);
    // ... and a later seek still works.
    engine.Seek(1.0);
    ExpectReferencePicture(NextPicture(engine), 1.0, "seek back after the end");
}

TEST(EngineSeek, PausedSeekShowsOnePictureAndScrubbingInsideTheBandDecodesNothing)
{
    ProbedEngine engine;
    ASSERT_TRUE(OpenAndPrepare(engine));
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);
    bool pending = false;
    EXPECT_TRUE(engine.IsOOB(0.5, pending)) << "no band before the first paused seek";

    engine.Pause();
    EXPECT_TRUE(engine.IsPause());
    EXPECT_EQ(PicturesWithin(engine, 100ms), 0) << "paused";

    engine.Seek(1.6);
    ExpectReferencePicture(NextPicture(engine), 1.6, "paused seek");
    EXPECT_EQ(PicturesUntilPaused(engine), 0) << "exactly one picture per paused seek";
    EXPECT_TRUE(engine.IsPause());
    EXPECT_EQ(PicturesWithin(engine, 200ms), 0);

    // The band runs from the key frame at 1 s up to the one at 2 s.
    pending = false;
    EXPECT_FALSE(engine.IsOOB(1.0, pending));
    EXPECT_FALSE(engine.IsOOB(1.2, pending));
    EXPECT_FALSE(engine.IsOOB(1.96, pending));
    EXPECT_FALSE(pending);
    EXPECT_TRUE(engine.IsOOB(0.9, pending));
    EXPECT_TRUE(engine.IsOOB(2.5, pending));
    EXPECT_FALSE(pending);

    // Back inside the band: served from the pictures decoded on the way.
    const uint64_t decoded = engine.DecodedPictures();
    engine.Seek(1.2);
    ExpectReferencePicture(NextPicture(engine), 1.2, "scrub inside the band");
    EXPECT_EQ(engine.DecodedPictures(), decoded) << "a cached picture needs no decoding";
    EXPECT_EQ(PicturesUntilPaused(engine), 0);
    EXPECT_EQ(PicturesWithin(engine, 100ms), 0);

    // Outside the band: decoded anew, still one picture.
    engine.Seek(3.5);
    ExpectReferencePicture(NextPicture(engine), 3.5, "paused seek outside the band");
    EXPECT_GT(engine.DecodedPictures(), decoded);
    EXPECT_EQ(PicturesUntilPaused(engine), 0);
    EXPECT_FALSE(engine.IsOOB(3.2, pending));
    EXPECT_TRUE(engine.IsOOB(1.2, pending));

    // Continue clears the band and plays on from the shown picture.
    engine.Continue();
    EXPECT_FALSE(engine.IsPause());
    EXPECT_TRUE(engine.IsOOB(3.2, pending));
    const Shown next = NextPicture(engine);
    ASSERT_GT(next.size, 0);
    EXPECT_GE(next.time, 3.5 - 1e-6);
    const Shown after = NextPicture(engine);
    ASSERT_GT(after.size, 0);
    EXPECT_GT(after.time, next.time);
}

TEST(EngineSeek, WithoutSeekOptimisationEveryTimeIsOutOfBandAndPausedSeeksStillShowOnePicture)
{
    ProbedEngine engine;
    ASSERT_TRUE(OpenAndPrepare(engine));
    FFEngineSettings settings;
    settings.optimizeSeek = false;
    engine.ConfigureEngine(settings);
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);
    engine.Pause();
    engine.Seek(2.3);
    ExpectReferencePicture(NextPicture(engine), 2.3, "paused seek without optimisation");
    EXPECT_EQ(PicturesUntilPaused(engine), 0);
    EXPECT_EQ(PicturesWithin(engine, 100ms), 0);
    bool pending = false;
    for (double t : {2.0, 2.3, 2.5, 0.0})
        EXPECT_TRUE(engine.IsOOB(t, pending)) << t;
    EXPECT_FALSE(pending);
}

TEST(EngineSeek, SeekBeforeTheDecoderHasADescriptionOnlyLogs)
{
    ProbedEngine engine;
    ScopedCapture capture(engine.Category());
    ASSERT_TRUE(engine.OpenSource(SeekClip()));
    engine.Seek(1.0);
    EXPECT_TRUE(capture->Contains("Unable to seek: decoder not ready"));
    EXPECT_FALSE(capture->Contains("FFSource::Seek: 1"));
    EXPECT_FALSE(engine.IsPause());
    EXPECT_FALSE(engine.IsEngineRunning());
    EXPECT_EQ(engine.GetSeekTime(), -1.0);
}

TEST(EngineSeek, SeekOnAnOpenButStoppedEngineShowsThePictureThereOnceAndStaysPaused)
{
    ProbedEngine engine;
    ASSERT_TRUE(OpenAndPrepare(engine));
    engine.Seek(2.5);
    EXPECT_TRUE(engine.IsEngineRunning());
    ExpectReferencePicture(NextPicture(engine), 2.5, "seek before start");
    EXPECT_EQ(PicturesUntilPaused(engine), 0);
    EXPECT_TRUE(engine.IsPause());
    EXPECT_EQ(PicturesWithin(engine, 200ms), 0);

    engine.Continue();
    const Shown next = NextPicture(engine);
    ASSERT_GT(next.size, 0);
    EXPECT_GE(next.time, 2.5 - 1e-6);
    const Shown after = NextPicture(engine);
    ASSERT_GT(after.size, 0);
    EXPECT_NEAR(after.time, next.time + 0.04, 1e-3);
}

TEST(EngineSeek, ContinueReissuesASeekWhosePictureNeverCame)
{
    ProbedEngine engine;
    ScopedCapture capture(engine.Category());
    ASSERT_TRUE(OpenAndPrepare(engine));
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);
    engine.Pause();
    engine.Seek(3.2);
    // Wait until the marker has reached the decoder, without taking its picture.
    for (int i = 0; i < 2500 && engine.GetSeekTime() < 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_DOUBLE_EQ(engine.GetSeekTime(), 3.2);

    engine.Continue();
    EXPECT_EQ(capture->Count("FFSource::Seek: 3.2"), 2u);
    EXPECT_FALSE(engine.IsPause());
    ExpectReferencePicture(NextPicture(engine), 3.2, "re-issued seek");
}

TEST(EngineSeek, SeekIntoTheLastDelayedPicturesStillEndsTheStreamOnce)
{
    ProbedEngine engine;
    std::atomic<int> endEvents{0};
    engine.RegisterFFEventCallback([&](FFEventArgs* a) {
        if (a->type == MessageEvent && static_cast<FFMessageArgs*>(a)->message == EndOfStream)
            ++endEvents;
    });
    ASSERT_TRUE(OpenAndPrepare(engine));
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_GT(NextPicture(engine).size, 0);
    // No audio is read, so the seek stays pending for the sound's sake while
    // the codec gives up its held pictures.
    engine.Seek(3.9);
    ExpectReferencePicture(NextPicture(engine), 3.9, "seek near the end");
    const Shown last = NextPicture(engine);
    ASSERT_GT(last.size, 0);
    EXPECT_NEAR(last.time, 3.96, 1e-3);
    EXPECT_EQ(NextPicture(engine).size, -1);
    EXPECT_EQ(endEvents.load(), 1);
}

// A live camera never waits for the application. One row per reader pace,
// each recording the test camera's /test mount (25 fps, a key picture each
// second) while it reads: the pictures handed out stay fresh, every picture
// is either shown or counted as missed, the recording holds every packet
// from its first key picture for the whole span, and a stalled reader costs no
// memory. The count of missed pictures starts afresh with the next source. (A
// served client that never drains is bounded in serving/serving_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "camera/RtspTestServer.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"
#include "support/ArrivalLog.h"
#include "support/FacadeEvents.h"
#include "support/QuickRetryEngine.h"
#include "support/RecordedPackets.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct PaceCase {
    const char* name;
    std::chrono::milliseconds pace; // between two reads
    std::chrono::milliseconds run;  // reading at that pace
    std::chrono::milliseconds stall{}; // then no read at all, then reading on
};

class LiveReadingPace : public ::testing::TestWithParam<PaceCase> {
protected:
    void SetUp() override
    {
        if (!QuilletTest::RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        ASSERT_TRUE(server.Start()) << server.Error();
        folder = FreshFolder("live_reading");
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    FacadeEvents events; // outlives the facade it listens to
    QuilletTest::RtspTestServer server;
    std::string folder;
};

TEST_P(LiveReadingPace, PicturesStayFreshAndTheRecordingHoldsEveryPacket)
{
    const PaceCase& c = GetParam();
    ArrivalLog log; // outlives the graph it is connected to
    auto settings = std::make_shared<FFSourceSettings>(); // over TCP, every packet delivered
    auto* engine = new QuickRetryEngine<FFFileEngine>("live_reading", settings);
    FFFileWrapper player(engine);
    events.Attach(player);
    ASSERT_TRUE(player.OpenSource(server.Url() + "/test")) << events.Text();
    engine->Attach(&log);
    EXPECT_EQ(player.GetLiveReading(), LiveReading::Newest) << "the default for a camera";
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    const std::string file = folder + "/cam.ts"; // keeps the camera's bytes as they came
    player.SaveToVideoFile(file);
    ASSERT_TRUE(player.StartEngine());

    FrameData frame;
    uint64_t shown = 0;
    std::vector<double> ages;
    auto readFor = [&](std::chrono::milliseconds span) {
        for (const auto end = Clock::now() + span; Clock::now() < end;) {
            const auto next = Clock::now() + c.pace;
            if (player.ReadFrameGetSize(&frame) > 0)
                ++shown, ages.push_back(log.AgeOf(frame.frameTime));
            std::this_thread::sleep_until(next);
        }
    };
    readFor(c.run);
    if (c.stall > 0ms) {
        const long before = ResidentKilobytes();
        std::this_thread::sleep_for(c.stall);
        // Memory stays flat while nobody reads, and the first read after
        // the stall hands out the newest picture.
        if (kResidentSizeTellsLeaks) {
            EXPECT_LT(ResidentKilobytes() - before, 10 * 1024) << "kB grown while the reader stalled";
        }
        ASSERT_TRUE(WaitFor([&] { return player.ReadFrameGetSize(&frame) > 0; }, 5s));
        ++shown;
        EXPECT_LT(log.AgeOf(frame.frameTime), 1.0) << "the first picture after the stall is the newest";
        readFor(c.run);
    }
    const size_t arrivedBeforeStop = log.Arrivals().size();
    const auto stopped = Clock::now();
    player.StopVideoSave();
    player.StopEngine();
    while (player.ReadFrameGetSize(&frame) > 0)
        ++shown;

    // Pictures: fresh at every pace (a loaded machine's slack, well below the
    // seconds a reader that holds the camera back falls behind), and each
    // one either shown or counted as missed.
    ASSERT_FALSE(ages.empty());
    std::sort(ages.begin(), ages.end());
    EXPECT_LT(ages[ages.size() / 2], 0.5) << "median age";
    EXPECT_LT(ages.back(), 2.0) << "worst age: within a key interval";
    const auto arrivals = log.Arrivals();
    const uint64_t missed = player.GetMissedPictures();
    EXPECT_LE(shown + missed, arrivals.size());
    EXPECT_GE(shown + missed + 30, arrivals.size()) << "pictures neither shown nor counted as missed";
    const size_t missedEvents = events.Count("missed ", true);
    if (c.pace >= 100ms || c.stall > 0ms) {
        EXPECT_GT(missedEvents, 0u) << "a drop is announced";
    }
    const double seconds = std::chrono::duration<double>(stopped - arrivals.front().at).count();
    EXPECT_LE(missedEvents, seconds + 1) << "at most one event a second, never one per picture";

    // The recording: every packet from its first key picture on, as the
    // camera sent them, for the whole span until the stop.
    const WrittenFile written = ReadWritten(file);
    ExpectWellFormed(written, file);
    const std::vector<std::string> recorded = Hashes(written.video);
    ASSERT_FALSE(recorded.empty());
    const auto first = std::find_if(arrivals.begin(), arrivals.end(),
                                    [&](const ArrivalLog::Arrival& a) { return a.hash == recorded.front(); });
    ASSERT_NE(first, arrivals.end());
    EXPECT_TRUE(first->key);
    const size_t start = size_t(first - arrivals.begin());
    ASSERT_LE(start + recorded.size(), arrivals.size());
    for (size_t i = 0; i < recorded.size(); ++i)
        ASSERT_EQ(recorded[i], arrivals[start + i].hash) << "recorded packet " << i;
    EXPECT_GE(start + recorded.size() + 2, arrivedBeforeStop) << "packets that arrived before the stop are missing";
    const double span = std::chrono::duration<double>(stopped - first->at).count();
    const double duration = written.video.back().pts - written.video.front().pts;
    EXPECT_NEAR(duration, span, 1.0) << "recorded seconds against the wall-clock span";

    if (c.stall > 0ms) { // the stall missed pictures; a file played next has missed none
        ASSERT_GT(missed, 0u);
        ASSERT_TRUE(player.OpenSource(MakeClip("live_reading_next.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 "
                                                                        "-t 1 -c:v libx264")));
        EXPECT_EQ(player.GetMissedPictures(), 0u) << "pictures missed before the open are not counted";
    }
}

INSTANTIATE_TEST_SUITE_P(Paces, LiveReadingPace,
                         ::testing::Values(PaceCase{"AsFastAsPossible", 1ms, 6s},
                                           PaceCase{"Every100ms", 100ms, 8s},
                                           PaceCase{"Stalled20sThenResumed", 40ms, 2s, 20s}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

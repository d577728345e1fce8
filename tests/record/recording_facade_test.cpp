// Recording through the facade while the application plays a B-frame file
// whose first packets come without a decode time (as the ffmpeg tool writes
// Matroska): a name given before the start waits for the engine, a split
// asked for during playback gives two files that join to exactly the source
// from its first picture, and the application gets a sync point as each file
// starts and ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "facade/FFFileWrapper.h"
#include "support/FacadeEvents.h"
#include "support/RecordedPackets.h"
#include "support/WaitFor.h"

namespace {

using namespace Quillet;
using namespace Quillet::Testing;
using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(RecordingFacade, SplitDuringPlaybackGivesTwoFilesThatJoinToTheSourceWithAPointAtEachEnd)
{
    const std::string clip = MakeClip("rec_facade_bf.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                                           "sine=frequency=440:sample_rate=48000 -t 6 -c:v libx264 -bf 2 "
                                                           "-g 25 -sc_threshold 0 -c:a aac");
    const auto video = Demux(clip).Video();
    const fs::path folder = fs::current_path() / "record_out" / "facade";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string first = (folder / "first.mp4").string(), second = (folder / "second.mp4").string();

    FacadeEvents events;
    FFFileWrapper recorder("RecordingFacadeTest");
    events.Attach(recorder);
    bool pending = true;
    EXPECT_FALSE(recorder.IsVideoSave(pending)); // no source: nothing pending, nothing breaks
    EXPECT_FALSE(pending);
    ASSERT_TRUE(recorder.OpenSource(clip));
    recorder.DecodeVideo(AV_PIX_FMT_BGR24);
    recorder.SaveToVideoFile(first);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_TRUE(pending) << "the name waits for the engine";
    EXPECT_FALSE(fs::exists(first));
    ASSERT_TRUE(recorder.StartEngine());

    // A picture every few milliseconds, so the recording drains several
    // times meanwhile; the split is asked for at picture 30.
    FrameData frame;
    int pictures = 0;
    ASSERT_TRUE(WaitFor([&] {
        const int size = recorder.ReadFrameGetSize(&frame);
        if (size > 0 && ++pictures == 30)
            recorder.SplitFile(second);
        std::this_thread::sleep_for(size > 0 ? 5ms : 1ms);
        return size < 0;
    }, 60s)) << "no end of stream";
    EXPECT_EQ(pictures, int(video.size()));
    // The end of stream closes the source, and with it the second file.
    ASSERT_TRUE(WaitFor([&] {
        bool p = false;
        return !recorder.IsVideoSave(p) && !p;
    }));
    recorder.Dispose();
    EXPECT_FALSE(recorder.IsVideoSave(pending)); // disposed: answers without an engine
    EXPECT_FALSE(pending);

    const WrittenFile a = ReadWritten(first), b = ReadWritten(second);
    ExpectWellFormed(a, first);
    ExpectWellFormed(b, second);
    ASSERT_FALSE(a.video.empty() || b.video.empty());
    EXPECT_FALSE(a.audio.empty() || b.audio.empty());
    auto joined = Hashes(a.video);
    for (const auto& h : Hashes(b.video))
        joined.push_back(h);
    EXPECT_EQ(joined, Hashes(video));
    EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i '" + first + "' -i '" + second + "' -map 0 -map 1 -f null - 2>&1"), "");

    EXPECT_EQ(events.Text(), "message " + std::to_string(int(FFMessageType::EndOfStream)) + "\n");
    const auto points = events.SyncPoints();
    ASSERT_EQ(points.size(), 4u);
    const std::vector<std::string> files = {first, first, second, second};
    for (size_t i = 0; i < points.size(); ++i) { // their times are checked in the scenario table
        EXPECT_EQ(points[i].fileName, files[i]) << i;
        EXPECT_EQ(points[i].PCTimeUTC.time_since_epoch().count(), 0) << i; // a file has no capture time
        EXPECT_TRUE(points[i].isGood) << i;
    }
}

} // namespace

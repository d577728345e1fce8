// Recording through the recording facade while the application plays:
// splitting on request, sync points as the application receives them, a
// name that waits for the engine to start, and a failed file that stops the
// recording but not the playback.
#include "recording_engine_support.h"

#include "facade/FFFileWrapper.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace RecordTest {
namespace {

using namespace Quillet::FFWrapperCLI;

class RecordingFacade : public RecordFolder {
protected:
    void SetUp() override
    {
        RecordFolder::SetUp();
        clipName = BFrameClip("rec_facade_bf_8s.mp4", 8, 25);
        total = static_cast<int>(VideoPackets(Demux(clipName)).size());
        handler = ManagedEventDelegate([this](const EventArgs& e) {
            std::lock_guard<std::mutex> guard(lock);
            if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
                messages.push_back(m->message);
            else if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e))
                points.push_back(*s);
        });
    }

    // Plays to the end of stream, a picture every few milliseconds so that
    // the recording drains several times meanwhile; `each` sees the count of
    // pictures so far.
    int PlayToEnd(FFFileWrapper& recorder, const std::function<void(int)>& each = {})
    {
        FrameData frame;
        int pictures = 0;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            const int size = recorder.ReadFrameGetSize(&frame);
            if (size < 0)
                return pictures;
            if (size == 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            ++pictures;
            if (each)
                each(pictures);
            std::this_thread::sleep_for(5ms);
        }
        ADD_FAILURE() << "no end of stream";
        return pictures;
    }

    std::vector<FFMessageType> Messages()
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages;
    }

    std::string clipName;
    int total = 0;
    ManagedEventDelegate handler;
    std::mutex lock;
    std::vector<FFMessageType> messages;
    std::vector<SyncPointEventArgs> points;
};

TEST_F(RecordingFacade, SplitDuringPlaybackGivesTwoPlayableFilesThatJoinToTheSingleRecording)
{
    {
        FFFileWrapper single("RecordingFacadeTest");
        ASSERT_TRUE(single.OpenSource(clipName));
        single.SaveToVideoFile(In("single.mp4"));
        ASSERT_TRUE(single.StartEngine());
        ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return single.IsVideoSave(*p); }));
        single.Dispose();
    }

    FFFileWrapper recorder("RecordingFacadeTest");
    recorder.RegisterFFEventCallback(handler);
    ASSERT_TRUE(recorder.OpenSource(clipName));
    recorder.DecodeVideo(AV_PIX_FMT_BGR24);
    recorder.SaveToVideoFile(In("first.mp4"));
    ASSERT_TRUE(recorder.StartEngine());
    const int pictures = PlayToEnd(recorder, [&](int n) {
        if (n == 30)
            recorder.SplitFile(In("second.mp4"));
    });
    EXPECT_EQ(pictures, total);
    // The end of stream closes the source, and with it the second file.
    ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return recorder.IsVideoSave(*p); }));
    recorder.Dispose();
    EXPECT_TRUE(Messages() == std::vector<FFMessageType>{FFMessageType::EndOfStream});

    const ProbeResult whole = Probe(In("single.mp4")), first = Probe(In("first.mp4")), second = Probe(In("second.mp4"));
    ExpectWellFormed(whole, "single.mp4");
    ExpectWellFormed(first, "first.mp4");
    ExpectWellFormed(second, "second.mp4");
    ASSERT_FALSE(first.video.empty() || second.video.empty() || whole.video.empty());
    EXPECT_TRUE(second.video.front().key);
    // Each file starts at decode time 0.
    EXPECT_NEAR(first.video.front().dts, 0.0, 1e-9);
    EXPECT_NEAR(second.video.front().dts, 0.0, 1e-9);
    for (const auto* part : {&first, &second}) {
        EXPECT_FALSE(part->audio.empty());
    }
    auto video = Hashes(first.video), audio = Hashes(first.audio);
    for (const auto& h : Hashes(second.video))
        video.push_back(h);
    for (const auto& h : Hashes(second.audio))
        audio.push_back(h);
    EXPECT_EQ(video, Hashes(whole.video));
    EXPECT_EQ(audio, Hashes(whole.audio));
    EXPECT_EQ(DecodeErrors(In("first.mp4")), "");
    EXPECT_EQ(DecodeErrors(In("second.mp4")), "");

    // The application saw one point as each file started and one as it ended,
    // each at a picture of that file, with a file source's unset capture time
    // (a packet's capture time counts as good unless a camera says otherwise).
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(points.size(), 4u);
    const std::vector<std::string> files = {In("first.mp4"), In("first.mp4"), In("second.mp4"), In("second.mp4")};
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].fileName, files[i]) << i;
        EXPECT_EQ(points[i].PCTimeUTC.time_since_epoch().count(), 0) << i;
        EXPECT_TRUE(points[i].isGood) << i;
    }
    // A file's first point shows its key picture: presentation minus decode time.
    EXPECT_NEAR(points[0].videoTime.count(), 0.08, 1e-9);
    EXPECT_NEAR(points[2].videoTime.count(), 0.08, 1e-9);
    // Its last point shows the last picture written, within the file's length.
    const double firstLength = static_cast<double>(first.video.size()) * 0.04;
    EXPECT_GT(points[1].videoTime.count(), 0.08);
    EXPECT_LE(points[1].videoTime.count(), firstLength + 0.08 + 1e-9);
}

TEST_F(RecordingFacade, NameGivenBeforeStartWaitsAndStartsWithTheEngine)
{
    FFFileWrapper recorder("RecordingFacadeTest");
    bool pending = true;
    // Without a source nothing is pending, and nothing breaks.
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_FALSE(pending);
    ASSERT_TRUE(recorder.OpenSource(clipName));
    recorder.DecodeVideo(AV_PIX_FMT_BGR24);
    recorder.SaveToVideoFile(In("later.mkv"));
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_TRUE(pending);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_TRUE(pending);
    EXPECT_FALSE(std::filesystem::exists(In("later.mkv")));

    ASSERT_TRUE(recorder.StartEngine());
    EXPECT_TRUE(WaitFor([&] {
        bool p = false;
        return recorder.IsVideoSave(p) && !p;
    }));
    EXPECT_EQ(PlayToEnd(recorder), total);
    ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return recorder.IsVideoSave(*p); }));
    recorder.Dispose();
    const ProbeResult r = Probe(In("later.mkv"));
    ExpectWellFormed(r, "later.mkv");
    ASSERT_FALSE(r.video.empty());
    EXPECT_EQ(static_cast<int>(r.video.size()), total);
    // After disposal the facade answers without an engine.
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_FALSE(pending);
}


} // namespace
} // namespace RecordTest

// Recording end to end through the recording engine: a file source with
// B-frames recorded into each container, follow-on files on codec changes and
// lost connections from a scripted camera, and sync points paced by an
// injected wall clock. ffprobe and ffmpeg judge the files.
#include "recording_engine_support.h"

#include <map>

namespace RecordTest {
namespace {

class RecordingEngineContainer : public RecordFolder, public ::testing::WithParamInterface<std::string> {};

// What the recording of a whole clip must hold: every video packet from the
// first key packet on, and the sound that arrives after it and does not lie
// before it.
struct ExpectedRecording {
    std::vector<std::shared_ptr<FFPacket>> video, audio;
    size_t droppedAudio = 0;
};

ExpectedRecording Expect(const Demuxed& clip)
{
    ExpectedRecording e;
    double start = NAN;
    const AVRational vtb = clip.codec->video->TimeBase(), atb = clip.codec->audio->TimeBase();
    for (const auto& p : clip.packets) {
        if (std::isnan(start) && IsVideo(p) && p->Get()->flags == AV_PKT_FLAG_KEY)
            start = static_cast<double>(p->Get()->dts) * av_q2d(vtb);
        if (std::isnan(start) || (!IsVideo(p) && static_cast<double>(p->Get()->dts) * av_q2d(atb) < start - 1e-9)) {
            e.droppedAudio += IsVideo(p) ? 0 : 1;
            continue;
        }
        (IsVideo(p) ? e.video : e.audio).push_back(p);
    }
    return e;
}

TEST_P(RecordingEngineContainer, BFrameSourceIsRecordedByteExactFromZeroWithIncreasingDecodeTimes)
{
    const std::string clipName = BFrameClip("rec_engine_bf_4s.mp4", 4, 25);
    const Demuxed clip = Demux(clipName);
    const ExpectedRecording expected = Expect(clip);
    ASSERT_GT(expected.droppedAudio, 0u) << "the clip should lead with sound";
    const std::string path = In("rec." + GetParam());

    FFFileEngine engine("RecordingEngineTest");
    std::vector<int> messages;
    std::mutex lock;
    engine.RegisterFFEventCallback([&](FFEventArgs* a) {
        std::lock_guard<std::mutex> guard(lock);
        if (a->type == MessageEvent)
            messages.push_back(static_cast<FFMessageArgs*>(a)->message);
    });
    ASSERT_TRUE(engine.OpenSource(clipName));
    engine.SaveToVideoFile(path);
    // Not started yet: the name waits.
    bool pending = false;
    EXPECT_FALSE(engine.IsVideoSave(&pending));
    EXPECT_TRUE(pending);
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return engine.IsVideoSave(p); }));
    engine.StopVideoSave();
    engine.CloseSource();
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_TRUE(messages.empty());
    }

    const ProbeResult r = Probe(path);
    ExpectWellFormed(r, path);
    EXPECT_EQ(Hashes(r.video), Hashes(expected.video));
    EXPECT_EQ(Hashes(r.audio), Hashes(expected.audio));
    // Every file starts at decode time 0, with B-frame order intact.
    ExpectSourceTiming(r, expected.video, clip.codec->video->TimeBase(), path);
    EXPECT_EQ(DecodeErrors(path), "");
}

INSTANTIATE_TEST_SUITE_P(Containers, RecordingEngineContainer, ::testing::Values("mp4", "mkv", "avi"));

class RecordingEngineSplits : public RecordFolder {
protected:
    using Step = ScriptedSource::Step;

    void SetUp() override
    {
        RecordFolder::SetUp();
        clip = Demux(BFrameClip("rec_engine_bf_4s_g10.mp4", 4, 10));
    }

    // The demuxed records from video packet `from` up to (not including) `to`.
    void Add(std::vector<Step>& script, int from, int to) const
    {
        int n = 0;
        for (const auto& p : clip.packets) {
            if (n >= from && n < to)
                script.emplace_back(std::shared_ptr<FFData>(p));
            n += IsVideo(p) ? 1 : 0;
        }
    }
    std::shared_ptr<FFData> SameStreamsAnew() const
    {
        return std::make_shared<FFAVCodec>(clip.codec->video, clip.codec->audio);
    }
    static std::shared_ptr<FFData> Lost() { return std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "lost"); }
    static std::shared_ptr<FFData> Back() { return std::make_shared<FFConnectionInfo>(ConnectionStatus::Connected, "back"); }

    std::vector<std::string> Hashes(int from, int to) const
    {
        const auto v = VideoPackets(clip);
        return RecordTest::Hashes(std::vector<std::shared_ptr<FFPacket>>(v.begin() + from, v.begin() + to));
    }

    // Records `script` into `first` through the engine until end of stream.
    void Record(std::vector<Step> script, const std::string& first, SyncingFileSink::WallClock clock = {})
    {
        ScriptedSource* source = nullptr;
        ScriptedEngine engine(
            [&] {
                auto s = std::make_unique<ScriptedSource>(clip.codec, script);
                source = s.get();
                return s;
            },
            std::move(clock));
        engine.RegisterFFEventCallback([this](FFEventArgs* a) {
            std::lock_guard<std::mutex> guard(lock);
            if (a->type == SyncPointEvent)
                points.push_back(*static_cast<FFSyncPointArgs*>(a));
            else if (a->type == MessageEvent)
                messages.push_back(static_cast<FFMessageArgs*>(a)->message);
        });
        ASSERT_TRUE(engine.OpenSource("rtsp://scripted"));
        engine.SaveToVideoFile(In(first));
        ASSERT_TRUE(engine.StartEngine());
        ASSERT_TRUE(WaitFor([&] { return source->finished.load(); }));
        ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return engine.IsVideoSave(p); }));
        engine.StopVideoSave();
    }

    Demuxed clip;
    std::mutex lock;
    std::vector<FFSyncPointArgs> points;
    std::vector<int> messages;
};

// The clock moves one second each time the sink reads it, and it reads it
// once per written picture (and once more per point sent): points come at
// the file's first picture, every 30 pictures after that, and at its last.
TEST_F(RecordingEngineSplits, SyncPointsAtFileStartPerThirtySecondsOfWallClockAtSplitAndAtTheEnd)
{
    constexpr int64_t kSecond = SyncingFileSink::kTicksPerSecond;
    constexpr int64_t kStart = 15000000000000000; // 2017-07-14 02:40:00 UTC
    auto now = std::make_shared<std::atomic<int64_t>>(kStart);
    const auto video = VideoPackets(clip);
    for (size_t i = 0; i < video.size(); ++i) {
        video[i]->liveTime = kStart + static_cast<int64_t>(i) * 400000;
        video[i]->liveFlag = i % 2 == 0;
    }
    // The split is asked for from the source's thread after picture 70 was
    // pushed, as an application's event handler might; it lands on the next
    // key packet the write thread meets, wherever it has drained to.
    FFFileEngine* running = nullptr;
    std::vector<Step> script;
    Add(script, 0, 70);
    script.emplace_back(ScriptedSource::Action([&] {
        // Once the first file has its first picture: asked earlier, the new
        // name would replace the one still waiting, or leave it empty.
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> guard(lock);
            return !points.empty();
        }));
        running->SplitFile(In("sync2.mp4"));
    }));
    Add(script, 70, 100);
    {
        ScriptedSource* source = nullptr;
        ScriptedEngine engine(
            [&] {
                auto s = std::make_unique<ScriptedSource>(clip.codec, script);
                source = s.get();
                return s;
            },
            [now] { return now->fetch_add(kSecond); });
        running = &engine;
        engine.RegisterFFEventCallback([this](FFEventArgs* a) {
            std::lock_guard<std::mutex> guard(lock);
            if (a->type == SyncPointEvent)
                points.push_back(*static_cast<FFSyncPointArgs*>(a));
        });
        ASSERT_TRUE(engine.OpenSource("rtsp://scripted"));
        engine.SaveToVideoFile(In("sync.mp4"));
        ASSERT_TRUE(engine.StartEngine());
        ASSERT_TRUE(WaitFor([&] { return source->finished.load(); }));
        ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return engine.IsVideoSave(p); }));
    }
    const ProbeResult first = Probe(In("sync.mp4")), second = Probe(In("sync2.mp4"));
    ExpectWellFormed(first, "sync.mp4");
    ExpectWellFormed(second, "sync2.mp4");
    ASSERT_FALSE(first.video.empty() || second.video.empty());
    const size_t inFirst = first.video.size();
    ASSERT_EQ(inFirst + second.video.size(), video.size());
    EXPECT_TRUE(second.video.front().key);
    EXPECT_NEAR(first.video.front().dts, 0.0, 1e-9);
    EXPECT_NEAR(second.video.front().dts, 0.0, 1e-9);

    // Expected points: picture index and file.
    std::vector<std::pair<size_t, std::string>> expected;
    const auto tb = av_q2d(clip.codec->video->TimeBase());
    expected.emplace_back(0, "sync.mp4");
    for (size_t i = 29; i < inFirst; i += 30)
        expected.emplace_back(i, "sync.mp4");
    expected.emplace_back(inFirst - 1, "sync.mp4");
    expected.emplace_back(inFirst, "sync2.mp4");
    // The clock carries on across files: the next point is due 30 pictures
    // after the split's point.
    for (size_t i = inFirst + 29; i < video.size(); i += 30)
        expected.emplace_back(i, "sync2.mp4");
    expected.emplace_back(video.size() - 1, "sync2.mp4");

    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(points.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        const auto& [index, file] = expected[k];
        const AVPacket* p = video[index]->Get();
        const AVPacket* key = video[file == "sync.mp4" ? 0 : inFirst]->Get();
        EXPECT_EQ(points[k].fileName, In(file)) << "point " << k;
        EXPECT_NEAR(points[k].videoTime, static_cast<double>(p->pts - key->dts) * tb, 1e-9) << "point " << k;
        EXPECT_EQ(points[k].PCTimeUTC, video[index]->liveTime) << "point " << k;
        EXPECT_EQ(points[k].isGood, video[index]->liveFlag) << "point " << k;
    }
}

} // namespace
} // namespace RecordTest

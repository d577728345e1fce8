// The recording sink: what reaches the files (checked with ffprobe against
// the bytes of the demuxed source), where files start and split, how they
// are named, and how a failed write ends the recording.
#include "RecordTestSupport.h"

#include <atomic>
#include <ctime>
#include <chrono>
#include <thread>

namespace RecordTest {
namespace {

using namespace std::chrono_literals;

// The sink as the engine runs it, plus a count of finished files.
class ObservedSink : public FFFileSink {
public:
    std::atomic<int> filesEnded{0};
    std::atomic<int> videoWritten{0};

protected:
    void _WritingPacket(const FFPacket& packet) override
    {
        FFFileSink::_WritingPacket(packet);
        ++videoWritten;
    }
    void _WroteLastPacket(const FFPacket& packet) override
    {
        FFFileSink::_WroteLastPacket(packet);
        ++filesEnded;
    }
};

// Position (in `packets`) of the n-th video packet.
size_t VideoPosition(const std::vector<std::shared_ptr<FFPacket>>& packets, int n)
{
    int seen = 0;
    for (size_t i = 0; i < packets.size(); ++i)
        if (IsVideo(packets[i]) && seen++ == n)
            return i;
    return packets.size();
}

// What a recording of `feed` must hold: from the first clean video key
// packet on, every video packet and every audio packet pushed after it.
struct Expected {
    std::vector<std::shared_ptr<FFPacket>> video, audio;
    size_t droppedAudio = 0;
};

Expected ExpectedRecording(const std::vector<std::shared_ptr<FFPacket>>& feed)
{
    Expected e;
    bool started = false;
    for (const auto& p : feed) {
        if (IsVideo(p) && p->Get()->flags == AV_PKT_FLAG_KEY)
            started = true;
        if (!started) {
            e.droppedAudio += IsVideo(p) ? 0 : 1;
            continue;
        }
        (IsVideo(p) ? e.video : e.audio).push_back(p);
    }
    return e;
}

void ExpectStrictlyIncreasing(const std::vector<Probed>& packets, const std::string& what)
{
    for (size_t i = 1; i < packets.size(); ++i) {
        if (packets[i].size == 0)
            continue; // a container's filler entry, not a packet of ours
        EXPECT_LT(packets[i - 1].dts, packets[i].dts) << what << " dts at " << i;
        if (!std::isnan(packets[i].pts)) {
            EXPECT_LT(packets[i - 1].pts, packets[i].pts) << what << " pts at " << i;
        }
    }
}

class RecordContainer : public RecordFolder, public ::testing::WithParamInterface<std::string> {};

// The whole path as the engine uses it: a source thread pushes (waiting while
// the sink answers Full), the write thread writes, end of stream closes.
TEST_P(RecordContainer, RecordsTheSourceBytesFromTheFirstKeyPacketRetimedToZero)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    // Start the feed after the first key packet, so the sink has to search
    // for the next one and drop the audio pushed before it.
    std::vector<std::shared_ptr<FFPacket>> feed = clip.packets;
    feed.erase(feed.begin() + static_cast<long>(VideoPosition(feed, 0)));
    const Expected expected = ExpectedRecording(feed);
    ASSERT_GT(expected.droppedAudio, 0u);

    RecordingMessenger messenger;
    ObservedSink sink;
    sink.SetMessenger(&messenger);
    const std::string path = In("rec." + GetParam());
    sink.SetNextFileName(path);
    sink.StartWriteThread();
    std::thread source([&] {
        sink.FFProcess(clip.codec);
        for (const auto& p : feed)
            while (sink.FFProcess(p) == FFStatus::Full)
                std::this_thread::sleep_for(10ms);
        sink.FFProcess(std::make_shared<FFEOSInfo>());
    });
    source.join();
    // Guard against a hang only; end of stream closes the file on its own.
    for (int i = 0; i < 2000 && sink.filesEnded == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sink.filesEnded, 1);
    EXPECT_FALSE(sink.IsWriting());
    sink.StopWriteThread();
    EXPECT_TRUE(messenger.Messages().empty());

    const ProbeResult r = Probe(path);
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    ASSERT_FALSE(r.video.empty());
    EXPECT_EQ(Hashes(r.video), Hashes(expected.video));
    EXPECT_EQ(Hashes(r.audio), Hashes(expected.audio));
    EXPECT_TRUE(r.video.front().key);
    // The file starts exactly at zero, not a tick later: in AVI's frame
    // count a tick is a whole frame.
    EXPECT_DOUBLE_EQ(r.video.front().dts, 0.0);
    ExpectStrictlyIncreasing(r.video, "video");
}

INSTANTIATE_TEST_SUITE_P(Containers, RecordContainer, ::testing::Values("mp4", "mkv", "avi"));

class RecordSink : public RecordFolder {
protected:
    // Pushes the packets from video packet `from` up to (not including) `to`.
    static void PushVideoRange(Driven<FFFileSink>& sink, const Demuxed& clip, int from, int to)
    {
        const size_t a = VideoPosition(clip.packets, from), b = VideoPosition(clip.packets, to);
        for (size_t i = a; i < b; ++i)
            sink.Push(clip.packets[i]);
    }
    static std::vector<std::shared_ptr<FFPacket>> Videos(const Demuxed& clip, int from, int to)
    {
        std::vector<std::shared_ptr<FFPacket>> v;
        const size_t a = VideoPosition(clip.packets, from), b = VideoPosition(clip.packets, to);
        for (size_t i = a; i < b; ++i)
            if (IsVideo(clip.packets[i]))
                v.push_back(clip.packets[i]);
        return v;
    }
    static std::shared_ptr<FFAVCodec> SameStreamsAnew(const Demuxed& clip)
    {
        return std::make_shared<FFAVCodec>(clip.codec->video, clip.codec->audio);
    }
};

TEST_F(RecordSink, RequestedSplitContinuesAtTheNextKeyPacketWithNothingLostOrDoubled)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    const int total = static_cast<int>(Videos(clip, 0, 1 << 30).size());

    Driven<FFFileSink> single;
    single.SetNextFileName(In("single.mp4"));
    single.Push(clip.codec);
    PushVideoRange(single, clip, 0, total);
    single.Push(std::make_shared<FFEOSInfo>());
    single.Drain();

    Driven<FFFileSink> sink;
    sink.SetNextFileName(In("first.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(sink, clip, 0, 37);
    sink.Drain();
    bool pending = true;
    EXPECT_TRUE(sink.IsVideoSave(&pending));
    EXPECT_FALSE(pending);
    sink.SetNextFileName(In("second.mp4"));
    EXPECT_TRUE(sink.IsVideoSave(&pending));
    EXPECT_TRUE(pending);
    PushVideoRange(sink, clip, 37, total);
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();
    EXPECT_FALSE(sink.IsVideoSave(&pending));
    EXPECT_FALSE(pending);

    const ProbeResult whole = Probe(In("single.mp4"));
    const ProbeResult first = Probe(In("first.mp4"));
    const ProbeResult second = Probe(In("second.mp4"));
    EXPECT_TRUE(whole.errors.empty() && first.errors.empty() && second.errors.empty())
        << whole.errors << first.errors << second.errors;
    // The split waits for the key packet at frame 50.
    EXPECT_EQ(Hashes(first.video), Hashes(Videos(clip, 0, 50)));
    ASSERT_FALSE(second.video.empty());
    EXPECT_TRUE(second.video.front().key);
    EXPECT_DOUBLE_EQ(second.video.front().dts, 0.0);

    auto joinedVideo = Hashes(first.video), joinedAudio = Hashes(first.audio);
    for (const auto& h : Hashes(second.video))
        joinedVideo.push_back(h);
    for (const auto& h : Hashes(second.audio))
        joinedAudio.push_back(h);
    EXPECT_EQ(joinedVideo, Hashes(whole.video));
    EXPECT_EQ(joinedAudio, Hashes(whole.audio));
    EXPECT_EQ(Hashes(whole.video), Hashes(Videos(clip, 0, total)));
}

// Follow-on and pattern names stay in the file's folder, whatever dots the
// folders have.
TEST(RecordSinkNames, MarkersGoIntoTheFileNameOnly)
{
    using K = FFFileSink::SplitKind;
    struct Case {
        std::string base;
        K kind;
        int n;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"rec.mp4", K::CodecChange, 2, "rec_#2.mp4"},
        {"./cam.mp4", K::ConnectionLoss, 1, "./cam_%1.mp4"},
        {"/data/v1.0/cam.mp4", K::ConnectionLoss, 1, "/data/v1.0/cam_%1.mp4"},
        {"rec/v1.0/cam.tar.mkv", K::CodecChange, 1, "rec/v1.0/cam_#1.tar.mkv"},
        {"/data/v1.0/camera", K::CodecChange, 1, "/data/v1.0/camera_#1"},
        {"a_#2.mp4", K::ConnectionLoss, 12, "a_#2_%12.mp4"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FFFileSink::FollowOnFileName(c.base, c.kind, c.n), c.expected) << c.base;
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 6, t.tm_hour = 1, t.tm_min = 2, t.tm_sec = 3, t.tm_isdst = -1;
    const std::time_t start = std::mktime(&t);
    EXPECT_EQ(FileNaming::FromPattern("cam1_%Y%m%d-%H%M%S.mp4", "/d/v1.0/", start, 3, "x.mkv"),
              "/d/v1.0/cam1_20261206-010203.mp4");
    EXPECT_EQ(FileNaming::FromPattern("seg{n}", "r/", start, 3, "x.mkv"), "r/seg3.mkv");
}

TEST_F(RecordSink, CodecChangesAndConnectionLossNameFollowOnFilesThatAccumulateMarkers)
{
    const Demuxed clip = Demux(Clip("clip4s_g10.mp4", 4, 10));
    Driven<FFFileSink> sink;
    sink.SetNextFileName(In("a.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(sink, clip, 0, 15);
    sink.Push(SameStreamsAnew(clip)); // a_#1.mp4, which starts at key 20
    PushVideoRange(sink, clip, 15, 30);
    sink.Push(SameStreamsAnew(clip)); // a_#2.mp4 from key 30, the very next packet
    PushVideoRange(sink, clip, 30, 45);
    sink.Push(std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "lost"));
    PushVideoRange(sink, clip, 45, 60); // 45 to 49 lost with the connection; a_#2_%1.mp4 from key 50
    sink.Push(SameStreamsAnew(clip));  // a_#2_#3.mp4 from key 60
    PushVideoRange(sink, clip, 60, 75);
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();

    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"a.mp4", "a_#1.mp4", "a_#2.mp4", "a_#2_#3.mp4", "a_#2_%1.mp4"}));
    const std::vector<std::pair<std::string, std::pair<int, int>>> files = {
        {"a.mp4", {0, 15}}, {"a_#1.mp4", {20, 30}}, {"a_#2.mp4", {30, 45}}, {"a_#2_%1.mp4", {50, 60}}, {"a_#2_#3.mp4", {60, 75}}};
    for (const auto& [name, range] : files) {
        const ProbeResult r = Probe(In(name));
        EXPECT_TRUE(r.errors.empty()) << name << ": " << r.errors;
        ASSERT_FALSE(r.video.empty()) << name;
        EXPECT_TRUE(r.video.front().key) << name;
        EXPECT_DOUBLE_EQ(r.video.front().dts, 0.0) << name;
        EXPECT_EQ(Hashes(r.video), Hashes(Videos(clip, range.first, range.second))) << name;
    }
}

TEST_F(RecordSink, NameSetByTheEngineWinsOverComputedNames)
{
    const Demuxed clip = Demux(Clip("clip4s_g10.mp4", 4, 10));
    Driven<FFFileSink> sink;
    sink.SetNextFileName(In("a.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(sink, clip, 0, 15);
    sink.Drain();
    sink.SetNextFileName(In("b.mp4"));
    sink.Push(SameStreamsAnew(clip)); // the engine's b.mp4, not a_#1.mp4
    PushVideoRange(sink, clip, 15, 30);
    sink.Push(SameStreamsAnew(clip)); // counters restarted from b.mp4
    PushVideoRange(sink, clip, 30, 45);
    sink.Drain();
    sink.Finish();
    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"a.mp4", "b.mp4", "b_#1.mp4"}));
}

TEST_F(RecordSink, ChangeOrLossBeforeAnyVideoReusesTheCurrentFile)
{
    const Demuxed clip = Demux(Clip("clip4s_g10.mp4", 4, 10));
    Driven<FFFileSink> sink;
    sink.SetNextFileName(In("a.mp4"));
    sink.Push(clip.codec);
    sink.Push(SameStreamsAnew(clip));
    sink.Push(std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "lost"));
    sink.Push(std::make_shared<FFConnectionInfo>(ConnectionStatus::Connected, "back"));
    sink.Push(SameStreamsAnew(clip));
    PushVideoRange(sink, clip, 0, 30);
    sink.Push(std::make_shared<FFEOSInfo>());
    // Records after the end of stream in the same batch are discarded.
    PushVideoRange(sink, clip, 30, 40);
    sink.Drain();

    EXPECT_EQ(FilesInFolder(), std::vector<std::string>{"a.mp4"});
    const ProbeResult r = Probe(In("a.mp4"));
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    EXPECT_EQ(Hashes(r.video), Hashes(Videos(clip, 0, 30)));
}

TEST_F(RecordSink, AudioDescriptionWaitsForTheNextKeyPacket)
{
    const Demuxed clip = Demux(Clip("clip4s_g10.mp4", 4, 10));
    Driven<FFFileSink> sink;
    sink.SetNextFileName(In("a.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(sink, clip, 0, 15);
    sink.Push(clip.codec->audio); // audio alone: split at key 20, audio ignored until then
    PushVideoRange(sink, clip, 15, 30);
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();

    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"a.mp4", "a_#1.mp4"}));
    const ProbeResult first = Probe(In("a.mp4")), second = Probe(In("a_#1.mp4"));
    EXPECT_EQ(Hashes(first.video), Hashes(Videos(clip, 0, 20)));
    EXPECT_EQ(Hashes(second.video), Hashes(Videos(clip, 20, 30)));
    EXPECT_FALSE(second.audio.empty());
    EXPECT_TRUE(second.errors.empty()) << second.errors;
}

TEST_F(RecordSink, QueueAnswersFullAboveAThousandRecordsAndNeverDrops)
{
    FFFileSink sink;
    for (int i = 1; i <= 1000; ++i)
        ASSERT_EQ(sink.FFProcess(std::make_shared<FFSeekInfo>(0.0)), FFStatus::Ready) << i;
    EXPECT_EQ(sink.FFProcess(std::make_shared<FFSeekInfo>(0.0)), FFStatus::Full);
    EXPECT_EQ(sink.FFProcess(std::make_shared<FFSeekInfo>(0.0)), FFStatus::Full);
    sink.Flush();
    EXPECT_EQ(sink.FFProcess(std::make_shared<FFSeekInfo>(0.0)), FFStatus::Ready);
}

// Threaded: a file that cannot be created is reported as FileSinkError and
// ends the write thread; stopping afterwards is clean.
TEST_F(RecordSink, WriteFailureRaisesFileSinkErrorAndStopsRecording)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    RecordingMessenger messenger;
    FFFileSink sink;
    sink.SetMessenger(&messenger);
    sink.SetNextFileName(In("missing/rec.mp4"));
    sink.StartWriteThread();
    sink.FFProcess(clip.codec);
    for (const auto& p : clip.packets)
        sink.FFProcess(p);
    for (int i = 0; i < 2000 && messenger.Messages().empty(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(messenger.Messages(), std::vector<int>{FileSinkError});
    bool pending = false;
    EXPECT_FALSE(sink.IsVideoSave(&pending));
    EXPECT_TRUE(pending); // the name that failed is still waiting
    sink.StopWriteThread();
    EXPECT_FALSE(std::filesystem::exists(In("missing")));
}

// Threaded: a split into a file that cannot be created stops the recording
// but keeps the file written so far complete.
TEST_F(RecordSink, FailedSplitKeepsTheCurrentFileComplete)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    RecordingMessenger messenger;
    ObservedSink sink;
    sink.SetMessenger(&messenger);
    sink.SetNextFileName(In("ok.mp4"));
    sink.StartWriteThread();
    sink.FFProcess(clip.codec);
    const size_t half = VideoPosition(clip.packets, 37);
    for (size_t i = 0; i < half; ++i)
        sink.FFProcess(clip.packets[i]);
    // The split is asked for once the first 37 pictures are in the file.
    for (int i = 0; i < 2000 && sink.videoWritten < 37; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sink.videoWritten, 37);
    sink.SetNextFileName(In("missing/next.mp4"));
    for (size_t i = half; i < clip.packets.size(); ++i)
        sink.FFProcess(clip.packets[i]);
    for (int i = 0; i < 2000 && messenger.Messages().empty(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(messenger.Messages(), std::vector<int>{FileSinkError});
    sink.StopWriteThread();

    const ProbeResult r = Probe(In("ok.mp4"));
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    // Everything up to the key packet where the split was due.
    std::vector<std::shared_ptr<FFPacket>> expected;
    for (size_t i = 0; i < VideoPosition(clip.packets, 50); ++i)
        if (IsVideo(clip.packets[i]))
            expected.push_back(clip.packets[i]);
    EXPECT_EQ(Hashes(r.video), Hashes(expected));
}

} // namespace
} // namespace RecordTest

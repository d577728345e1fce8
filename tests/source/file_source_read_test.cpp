// Reading a clip through the file source: every packet once and in order,
// the description first, flow control, the end-of-stream marker and errors
// raised downstream.
#include <thread>

#include "core/FFAVCodec.h"
#include "source/FFSource.h"
#include "source/file_source_support.h"

namespace Quillet::FileSourceTest {
namespace {

using namespace std::chrono_literals;

struct OpenedSource {
    TestMessenger messenger;
    FFSource source;
    RecordingDest dest;

    explicit OpenedSource(const std::string& path)
    {
        source.SetMessenger(&messenger);
        EXPECT_TRUE(source.OpenSource(path));
        source.ConnectNode(&dest);
    }
    ~OpenedSource()
    {
        source.StopReadThread();
        source.CloseSource();
    }
};

void ExpectAllPacketsInOrder(const std::string& path, const std::vector<int>& keptStreams)
{
    OpenedSource s(path);
    s.source.StartReadThread();
    ASSERT_TRUE(s.dest.WaitFor(FFType::EOSInfo, 1));
    s.source.StopReadThread();

    std::vector<PacketFact> expected;
    for (const auto& p : ProbePackets(path))
        if (std::find(keptStreams.begin(), keptStreams.end(), p.stream) != keptStreams.end())
            expected.push_back(p);
    ASSERT_GT(expected.size(), 50u);
    EXPECT_EQ(s.dest.PacketsBefore(FFType::EOSInfo), expected);
    EXPECT_EQ(s.dest.PacketsAfter(FFType::EOSInfo, 1).size(), 0u);
}

TEST(FileSourceRead, DeliversEveryVideoAndAudioPacketOnceInDemuxOrder)
{
    ExpectAllPacketsInOrder(AvMp4(), {0, 1});
    ExpectAllPacketsInOrder(AvsMkv(), {0, 1}); // the subtitle stream is dropped
}

TEST(FileSourceRead, FirstRecordEachDestinationSeesIsTheDescription)
{
    TestMessenger messenger;
    FFSource source;
    source.SetMessenger(&messenger);
    RecordingDest early;
    // Connected before opening: the open itself delivers the description.
    source.ConnectNode(&early);
    ASSERT_EQ(early.Records().size(), 1u); // the empty description of a closed source
    ASSERT_TRUE(source.OpenSource(AvMp4()));
    RecordingDest late;
    source.ConnectNode(&late);
    source.StartReadThread();
    ASSERT_TRUE(late.WaitFor(FFType::EOSInfo, 1));
    source.StopReadThread();

    const auto lateRecords = late.Records();
    ASSERT_FALSE(lateRecords.empty());
    ASSERT_EQ(lateRecords.front()->GetType(), FFType::AVCodec);
    const auto& description = static_cast<const FFAVCodec&>(*lateRecords.front());
    ASSERT_TRUE(description.video && description.audio);
    EXPECT_EQ(description.video->Context()->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(description.video->Context()->width, 160);
    EXPECT_EQ(description.video->Context()->height, 120);
    EXPECT_EQ(description.audio->Context()->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(description.audio->Context()->sample_rate, 48000);

    const auto earlyRecords = early.Records();
    ASSERT_GE(earlyRecords.size(), 2u);
    EXPECT_EQ(earlyRecords[1]->GetType(), FFType::AVCodec);
    EXPECT_EQ(early.PacketsBefore(FFType::EOSInfo), late.PacketsBefore(FFType::EOSInfo));
}

TEST(FileSourceRead, RenderSizeAppliesTheSampleAspect)
{
    TestMessenger messenger;
    FFSource wide;
    wide.SetMessenger(&messenger);
    ASSERT_TRUE(wide.OpenSource(WideSarMp4()));
    EXPECT_EQ(wide.RenderWidth(), 320);
    EXPECT_EQ(wide.RenderHeight(), 120);
    EXPECT_FALSE(wide.HasAudio());
    int rate = -1, bits = -1, channels = -1;
    EXPECT_FALSE(wide.GetAudioFormat(&rate, &bits, &channels));

    FFSource tall;
    tall.SetMessenger(&messenger);
    ASSERT_TRUE(tall.OpenSource(TallSarMp4()));
    EXPECT_EQ(tall.RenderWidth(), 160);
    EXPECT_EQ(tall.RenderHeight(), 240);

    FFSource closed;
    closed.SetMessenger(&messenger);
    EXPECT_EQ(closed.RenderWidth(), 640);
    EXPECT_EQ(closed.RenderHeight(), 480);
}

TEST(FileSourceRead, FullDestinationHoldsTheSourceBackWithoutLoss)
{
    OpenedSource s(AvMp4());
    s.dest.status = FFStatus::Full;
    s.source.StartReadThread();
    std::this_thread::sleep_for(300ms);
    // Only the description given at connection time.
    EXPECT_EQ(s.dest.Records().size(), 1u);

    // Let it go in bursts, alternating with Full and Paused.
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        int i = 0;
        while (!done) {
            s.dest.status = (i % 3 == 0) ? FFStatus::Ready : (i % 3 == 1 ? FFStatus::Full : FFStatus::Paused);
            std::this_thread::sleep_for(i % 3 == 0 ? 40ms : 60ms);
            ++i;
        }
        s.dest.status = FFStatus::Ready;
    });
    const bool ended = s.dest.WaitFor(FFType::EOSInfo, 1, 60s);
    done = true;
    toggler.join();
    ASSERT_TRUE(ended);
    s.source.StopReadThread();
    EXPECT_EQ(s.dest.PacketsBefore(FFType::EOSInfo), ProbePackets(AvMp4()));
}

TEST(FileSourceRead, EndOfStreamIsAnnouncedOnceWhileReadsKeepFailing)
{
    OpenedSource s(AvMp4());
    s.source.StartReadThread();
    ASSERT_TRUE(s.dest.WaitFor(FFType::EOSInfo, 1));
    std::this_thread::sleep_for(200ms); // many failed reads later
    EXPECT_TRUE(s.source.IsReading());
    s.source.StopReadThread();
    EXPECT_EQ(s.dest.Count(FFType::EOSInfo), 1u);
    EXPECT_FALSE(s.source.IsReading());
}

TEST(FileSourceRead, ExceptionDownstreamEndsTheThreadWithASourceError)
{
    OpenedSource s(AvMp4());
    s.dest.throwAfterPackets = 10;
    s.source.StartReadThread();
    for (int i = 0; i < 500 && s.messenger.Reports().empty(); ++i)
        std::this_thread::sleep_for(10ms);
    const auto reports = s.messenger.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].what, "destination refuses packet");
    EXPECT_EQ(reports[0].message, 2);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.dest.Count(FFType::Packet), 10u);
    // The owner still sees a reading source until it stops it.
    EXPECT_TRUE(s.source.IsReading());
    EXPECT_TRUE(FinishesWithin(20s, [&] { s.source.StopReadThread(); }));
    EXPECT_FALSE(s.source.IsReading());
}

} // namespace
} // namespace Quillet::FileSourceTest

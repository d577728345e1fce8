// Seeking through the file source: the marker, the packets that follow it,
// coalescing of requests and restarting after the end.
#include <thread>

#include <log4cpp/Priority.hh>

#include "source/FFSource.h"
#include "source/file_source_support.h"

namespace Quillet::FileSourceTest {
namespace {

using namespace std::chrono_literals;

std::vector<double> SeekTimes(const RecordingDest& dest)
{
    std::vector<double> times;
    for (const auto& r : dest.Records())
        if (r->GetType() == FFType::SeekInfo)
            times.push_back(static_cast<const FFSeekInfo&>(*r).time);
    return times;
}

// The last video key frame at or before `seconds`, from ffprobe.
PacketFact KeyFrameAtOrBefore(double seconds)
{
    PacketFact best;
    for (const auto& p : OnlyStream(ProbePackets(AvMp4()), 0))
        if (p.key && p.ptsTime <= seconds + 1e-9 && (best.stream < 0 || p.ptsTime > best.ptsTime))
            best = p;
    return best;
}

struct FileSourceSeeking : ::testing::Test {
    TestMessenger messenger;
    FFSource source;
    RecordingDest dest;

    void SetUp() override
    {
        source.SetMessenger(&messenger);
        ASSERT_TRUE(source.OpenSource(AvMp4()));
        source.ConnectNode(&dest);
    }
    void TearDown() override
    {
        source.StopReadThread();
        source.CloseSource();
    }
};

TEST_F(FileSourceSeeking, RapidRequestsCollapseIntoTheNewest)
{
    source.Seek(0.5);
    source.Seek(1.0);
    source.Seek(2.2);
    source.StartReadThread();
    ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 1));
    source.StopReadThread();
    EXPECT_EQ(SeekTimes(dest), std::vector<double>{2.2});
    EXPECT_EQ(messenger.CountLines("Deleting 1 seek requests.", log4cpp::Priority::DEBUG), 2u);
    const auto after = OnlyStream(dest.PacketsAfter(FFType::SeekInfo, 1), 0);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().pts, KeyFrameAtOrBefore(2.2).pts);
}

TEST_F(FileSourceSeeking, NothingReadBeforeASeekIsPushedAfterIt)
{
    dest.status = FFStatus::Full;
    source.StartReadThread();
    std::this_thread::sleep_for(100ms); // the thread now holds a packet back
    source.Seek(1.0);
    dest.status = FFStatus::Ready;
    ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 1));
    source.StopReadThread();
    // Apart from the description, the marker is the first thing pushed.
    const auto records = dest.Records();
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records[0]->GetType(), FFType::AVCodec);
    EXPECT_EQ(records[1]->GetType(), FFType::SeekInfo);
    EXPECT_EQ(messenger.CountLines("FFSource::_PushPacket: seek command found"), 1u);
    const auto after = OnlyStream(dest.PacketsAfter(FFType::SeekInfo, 1), 0);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().pts, KeyFrameAtOrBefore(1.0).pts);
}

TEST_F(FileSourceSeeking, SeekWaitsWhileTheFirstDestinationIsStillSeeking)
{
    dest.status = FFStatus::Seeking;
    source.Seek(1.0);
    source.StartReadThread();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(dest.Count(FFType::SeekInfo), 0u);
    // The newer request replaces the waiting one.
    source.Seek(2.0);
    dest.status = FFStatus::Ready;
    ASSERT_TRUE(dest.WaitFor(FFType::SeekInfo, 1));
    source.StopReadThread();
    EXPECT_EQ(SeekTimes(dest), std::vector<double>{2.0});
}

TEST(FileSourceSeek, SeekOnAClosedSourceIsRefusedWithALogLine)
{
    TestMessenger messenger;
    FFSource source;
    source.SetMessenger(&messenger);
    source.Seek(1.0);
    EXPECT_EQ(messenger.CountLines("FFSource::Seek: _srcFormatContext is null", log4cpp::Priority::WARN), 1u);
    EXPECT_DOUBLE_EQ(source.GetDuration(), 0.0);
}

} // namespace
} // namespace Quillet::FileSourceTest

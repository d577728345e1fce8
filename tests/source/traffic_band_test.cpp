// The traffic node between source and decoder: forwarding, pause state and
// the band of packets let through after a seek while paused.
#include <gtest/gtest.h>

#include "source/FFTraffic.h"
#include "traffic_test_nodes.h"

using namespace Quillet;
using namespace Quillet::TestNodes;

namespace {

std::vector<int64_t> VideoPts(const std::vector<std::shared_ptr<FFData>>& records)
{
    std::vector<int64_t> pts;
    for (const auto& r : records) {
        auto* p = dynamic_cast<FFPacket*>(r.get());
        if (p && p->GetStreamType() == FFStreamType::Video)
            pts.push_back(p->Get()->pts);
    }
    return pts;
}

size_t CountType(const std::vector<std::shared_ptr<FFData>>& records, FFType type)
{
    size_t n = 0;
    for (const auto& r : records)
        n += r->GetType() == type ? 1 : 0;
    return n;
}

class Traffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        traffic.ConnectNode(&dest);
        // Milliseconds as the video time base, so pts 2000 is 2.0 s.
        traffic.FFProcess(Codec(1, 1000));
        dest.Clear();
    }

    FFStatus Send(std::shared_ptr<FFData> r) { return traffic.FFProcess(std::move(r)); }

    // Paused, then a seek to 2.0 s whose band is the key frames 2000 and 3000
    // with two non-key packets between them.
    void FillBandFrom2To3()
    {
        traffic.Pause();
        Send(SeekMarker(2.0));
        Send(Video(2000, true));
        Send(Video(2040, false));
        Send(Video(2080, false));
        Send(Video(3000, true));
        Send(Video(3040, false)); // shown after the closing key: completes the band
    }

    RecordingDest dest;
    FFTraffic traffic;
};

TEST_F(Traffic, ForwardsEveryRecordUnchangedWhileRunning)
{
    std::vector<std::shared_ptr<FFData>> sent{Video(0, true), Audio(10), Video(40, false), Video(1000, true),
                                              std::make_shared<FFEOSInfo>(),
                                              std::make_shared<FFConnectionInfo>(ConnectionStatus::Connected, "ok")};
    for (const auto& r : sent)
        EXPECT_EQ(Send(r), FFStatus::Ready);
    EXPECT_EQ(dest.Records(), sent); // the very same records, in order
}

TEST_F(Traffic, PausedSeekLetsThroughExactlyOneKeyFrameIntervalThenHolds)
{
    traffic.Pause();
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Paused);

    auto seek = SeekMarker(2.0);
    Send(seek);
    EXPECT_TRUE(seek->wasPaused);
    EXPECT_FALSE(seek->flushQueues);

    // The band is filled whatever the decoder says about its queues.
    dest.status = FFStatus::Full;
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Ready);

    EXPECT_EQ(Send(Video(1960, false)), FFStatus::Ready); // before the band's first key frame
    Send(Video(2000, true));
    Send(Video(2040, false));
    Send(Audio(2050));
    Send(Video(2080, false));
    EXPECT_EQ(Send(Video(3000, true)), FFStatus::Ready); // closes the band, still forwarded
    EXPECT_EQ(Send(Video(2960, false)), FFStatus::Ready); // open group: shown before the closing key
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Ready);      // not complete yet
    EXPECT_EQ(Send(Video(3040, false)), FFStatus::Ready); // shown after it: completes the band
    EXPECT_EQ(Send(Video(3080, false)), FFStatus::Full);
    EXPECT_EQ(Send(Video(4000, true)), FFStatus::Full);
    Send(Audio(3050)); // only video is held back

    EXPECT_EQ(VideoPts(dest.Records()), (std::vector<int64_t>{1960, 2000, 2040, 2080, 3000, 2960, 3040}));
    EXPECT_EQ(CountType(dest.Records(), FFType::Packet), 9u);

    dest.status = FFStatus::Ready;
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full);
    traffic.PictureDelivered();
    traffic.NoPictureTaken();
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full);

    traffic.Continue();
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Ready);
    EXPECT_EQ(Send(Video(3080, false)), FFStatus::Ready);
    EXPECT_EQ(VideoPts(dest.Records()).back(), 3080);
}

TEST_F(Traffic, KeyFrameWithoutNonKeyBetweenDoesNotCloseTheBand)
{
    traffic.Pause();
    Send(SeekMarker(2.0));
    Send(Video(2000, true));
    Send(Video(2040, true));
    EXPECT_EQ(Send(Video(2080, false)), FFStatus::Ready);
    EXPECT_EQ(Send(Video(3000, true)), FFStatus::Ready);
    EXPECT_EQ(Send(Video(3040, false)), FFStatus::Ready);
    EXPECT_EQ(Send(Video(3080, false)), FFStatus::Full);
    EXPECT_EQ(dest.Count(), 6u);
}

TEST_F(Traffic, TimesComeFromTheVideoTimeBaseAndFallBackToDts)
{
    Send(Codec(1, 90000, true));
    traffic.Pause();
    Send(SeekMarker(2.0));
    auto key = Video(0, true);
    key->packet->pts = AV_NOPTS_VALUE;
    key->packet->dts = 180000; // 2.0 s
    Send(key);
    Send(Video(184500, false)); // 2.05 s

    bool later = false;
    EXPECT_FALSE(traffic.IsOOB(later, 2.0));
    EXPECT_FALSE(traffic.IsOOB(later, 2.05));
    EXPECT_TRUE(traffic.IsOOB(later, 1.99));
    EXPECT_FALSE(later);
}

TEST_F(Traffic, IsOOBFollowsTheBand)
{
    bool later = false;
    EXPECT_TRUE(traffic.IsOOB(later, 0.0)); // no band held

    traffic.Pause();
    Send(SeekMarker(2.0));
    EXPECT_TRUE(traffic.IsOOB(later, 2.0));
    Send(Video(2000, true));
    EXPECT_FALSE(traffic.IsOOB(later, 2.0));
    EXPECT_TRUE(traffic.IsOOB(later, 1.5));
    EXPECT_FALSE(later);

    // Still growing: a later time is pending, not out of band.
    EXPECT_FALSE(traffic.IsOOB(later, 2.5));
    EXPECT_TRUE(later);

    Send(Video(2040, false));
    Send(Video(3000, true));
    later = false;
    EXPECT_FALSE(traffic.IsOOB(later, 2.5));
    EXPECT_FALSE(traffic.IsOOB(later, 3.0));
    EXPECT_TRUE(traffic.IsOOB(later, 3.01));
    EXPECT_FALSE(later);

    traffic.Continue();
    EXPECT_TRUE(traffic.IsOOB(later, 2.5));

    traffic.SetOptimizeSeek(false);
    FillBandFrom2To3();
    EXPECT_TRUE(traffic.IsOOB(later, 2.5));
    EXPECT_FALSE(later);
}

TEST_F(Traffic, SecondSeekInsideTheHeldBandKeepsItOutsideStartsOver)
{
    FillBandFrom2To3();
    traffic.PictureDelivered(); // band complete: back to paused
    EXPECT_TRUE(traffic.IsPaused());

    auto inside = SeekMarker(2.5);
    Send(inside);
    EXPECT_TRUE(inside->wasPaused);
    EXPECT_FALSE(inside->flushQueues);
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full); // the band is kept, nothing more is read
    bool later = false;
    EXPECT_FALSE(traffic.IsOOB(later, 2.5));
    traffic.PictureDelivered();
    EXPECT_TRUE(traffic.IsPaused());

    auto outside = SeekMarker(3.5);
    Send(outside);
    EXPECT_TRUE(outside->wasPaused);
    EXPECT_TRUE(outside->flushQueues);
    EXPECT_TRUE(traffic.IsOOB(later, 2.5));
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Ready);

    dest.Clear();
    Send(Video(3000, true));
    Send(Video(3040, false));
    Send(Video(4000, true));
    Send(Video(4040, false));
    EXPECT_EQ(Send(Video(4080, false)), FFStatus::Full);
    EXPECT_EQ(VideoPts(dest.Records()), (std::vector<int64_t>{3000, 3040, 4000, 4040}));
    EXPECT_FALSE(traffic.IsOOB(later, 3.5));
}

TEST_F(Traffic, SeekBeyondAGrowingBandKeepsQueues)
{
    traffic.Pause();
    Send(SeekMarker(2.0));
    Send(Video(2000, true));
    Send(Video(2040, false));
    auto beyond = SeekMarker(2.5);
    Send(beyond);
    // The band is still being read towards 2.5: the decoder keeps what it has.
    EXPECT_FALSE(beyond->flushQueues);
    bool later = false;
    EXPECT_FALSE(traffic.IsOOB(later, 2.5));
    EXPECT_TRUE(later);
}

TEST_F(Traffic, EndOfStreamClosesAGrowingBand)
{
    traffic.Pause();
    Send(SeekMarker(2.0));
    Send(Video(2000, true));
    Send(Video(2040, false));
    Send(std::make_shared<FFEOSInfo>());
    EXPECT_EQ(CountType(dest.Records(), FFType::EOSInfo), 1u);
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full);

    bool later = false;
    EXPECT_FALSE(traffic.IsOOB(later, 2.04));
    EXPECT_TRUE(traffic.IsOOB(later, 2.05));
    EXPECT_FALSE(later);

    traffic.PictureDelivered();
    traffic.NoPictureTaken();
    EXPECT_TRUE(traffic.IsPaused());
}

TEST_F(Traffic, PausedSeekShowsOnePictureThenFallsBackToPause)
{
    traffic.Pause();
    EXPECT_FALSE(traffic.MayDeliverPicture());
    EXPECT_FALSE(traffic.MayDeliverAudio());

    Send(SeekMarker(2.0));
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_TRUE(traffic.MayDeliverPicture());
    EXPECT_FALSE(traffic.MayDeliverAudio());

    Send(Video(2000, true));
    traffic.PictureDelivered();
    // The band is not complete: still seeking, but the one picture is out.
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_FALSE(traffic.MayDeliverPicture());
    traffic.NoPictureTaken();
    EXPECT_FALSE(traffic.IsPaused());

    Send(Video(2040, false));
    Send(Video(3000, true));
    Send(Video(3040, false));
    traffic.NoPictureTaken();
    EXPECT_TRUE(traffic.IsPaused());
    EXPECT_FALSE(traffic.MayDeliverPicture());

    traffic.Continue();
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_TRUE(traffic.MayDeliverPicture());
    EXPECT_TRUE(traffic.MayDeliverAudio());
}

TEST_F(Traffic, SeekWhileRunningReturnsToRunningAfterOnePicture)
{
    auto seek = SeekMarker(5.0);
    Send(seek);
    EXPECT_FALSE(seek->wasPaused);
    EXPECT_FALSE(seek->flushQueues);
    EXPECT_TRUE(traffic.MayDeliverPicture());
    EXPECT_FALSE(traffic.MayDeliverAudio());

    // No band while running: every packet goes through.
    for (int64_t pts : {5000, 5040, 6000, 6040, 7000})
        EXPECT_EQ(Send(Video(pts, pts % 1000 == 0)), FFStatus::Ready);
    EXPECT_EQ(dest.Count(), 6u);

    traffic.PictureDelivered();
    EXPECT_TRUE(traffic.MayDeliverPicture());
    EXPECT_TRUE(traffic.MayDeliverAudio());
    bool later = false;
    EXPECT_TRUE(traffic.IsOOB(later, 5.0));
}

TEST_F(Traffic, WithoutOptimizeSeekThereIsNoBandAndMarkersKeepTheirDefaults)
{
    traffic.SetOptimizeSeek(false);
    traffic.Pause();
    auto seek = SeekMarker(2.0);
    Send(seek);
    EXPECT_FALSE(seek->wasPaused);
    EXPECT_TRUE(seek->flushQueues);

    dest.status = FFStatus::Full;
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full); // the decoder is asked
    dest.status = FFStatus::Ready;
    for (int64_t pts : {2000, 2040, 3000, 3040, 4000})
        EXPECT_EQ(Send(Video(pts, pts % 1000 == 0)), FFStatus::Ready);
    EXPECT_EQ(dest.Count(), 6u);

    traffic.PictureDelivered();
    EXPECT_TRUE(traffic.IsPaused());
}

TEST_F(Traffic, FlushAndClearStateReturnToRunning)
{
    traffic.SetOptimizeSeek(false);
    FillBandFrom2To3();
    traffic.Flush();
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Ready);
    // Flush also turns the band feature back on.
    FillBandFrom2To3();
    EXPECT_EQ(traffic.GetStatus(), FFStatus::Full);

    traffic.ClearState();
    traffic.Continue();
    traffic.Pause();
    Send(SeekMarker(8.0));
    traffic.ClearState();
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_TRUE(traffic.MayDeliverAudio());
    // A picture after the stop must not bring back the pause of the old seek.
    traffic.PictureDelivered();
    EXPECT_FALSE(traffic.IsPaused());
    EXPECT_TRUE(traffic.MayDeliverPicture());
}

} // namespace

// Sync points: one when a file starts, one per 30 s of wall clock while it is
// written, one when it ends, each pairing the file position of a video packet
// with the wall-clock time the camera stamped on it.
#include "RecordTestSupport.h"

#include <atomic>

namespace RecordTest {
namespace {

constexpr int64_t kSecond = SyncingFileSink::kTicksPerSecond;
// 2017-07-14 02:40:00 UTC in 100 ns ticks.
constexpr int64_t kCaptureStart = 15000000000000000;

class SyncSink : public RecordFolder {
protected:
    void SetUp() override
    {
        RecordFolder::SetUp();
        clip = Demux(Clip("clip4s_g10.mp4", 4, 10));
        // Capture time of each video packet: 40 ms apart, every third one
        // flagged as not trustworthy.
        int n = 0;
        for (const auto& p : clip.packets) {
            if (!IsVideo(p))
                continue;
            p->liveTime = kCaptureStart + n * 400000;
            p->liveFlag = n % 3 != 0;
            ++n;
        }
        sink.SetMessenger(&messenger);
    }

    void PushVideoRange(int from, int to)
    {
        int n = 0;
        for (const auto& p : clip.packets) {
            const bool video = IsVideo(p);
            if (n >= from && n < to)
                sink.Push(p);
            n += video ? 1 : 0;
        }
    }

    std::shared_ptr<FFPacket> VideoPacket(int n)
    {
        for (const auto& p : clip.packets)
            if (IsVideo(p) && n-- == 0)
                return p;
        return nullptr;
    }

    void ExpectPoint(const FFSyncPointArgs& point, int frame, double fileStart, const std::string& file)
    {
        const auto p = VideoPacket(frame);
        EXPECT_EQ(point.type, SyncPointEvent);
        EXPECT_NEAR(point.videoTime, frame * 0.04 - fileStart, 1e-9) << "frame " << frame;
        EXPECT_EQ(point.PCTimeUTC, p->liveTime) << "frame " << frame;
        EXPECT_EQ(point.isGood, p->liveFlag) << "frame " << frame;
        EXPECT_EQ(point.fileName, In(file)) << "frame " << frame;
    }

    Demuxed clip;
    std::atomic<int64_t> now{kCaptureStart};
    RecordingMessenger messenger;
    Driven<SyncingFileSink> sink{[this] { return now.load(); }};
};

TEST_F(SyncSink, PointsAtFileStartEveryThirtySecondsOfWallClockAndAtTheEnd)
{
    sink.SetNextFileName(In("sync.mp4"));
    sink.Push(clip.codec);
    // Ten pictures per batch, written while the clock stands ten seconds
    // further on: points are due at 0, 30, 60 and 90 s, each taken by the
    // first picture written at or after that time.
    for (int batch = 0; batch < 10; ++batch) {
        now = kCaptureStart + batch * 10 * kSecond;
        PushVideoRange(batch * 10, batch * 10 + 10);
        sink.Drain();
    }
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();

    const auto points = messenger.SyncPoints();
    ASSERT_EQ(points.size(), 5u);
    ExpectPoint(points[0], 0, 0.0, "sync.mp4");
    ExpectPoint(points[1], 30, 0.0, "sync.mp4");
    ExpectPoint(points[2], 60, 0.0, "sync.mp4");
    ExpectPoint(points[3], 90, 0.0, "sync.mp4");
    ExpectPoint(points[4], 99, 0.0, "sync.mp4");
}

TEST_F(SyncSink, SplitEndsTheOldFileAndStartsTheNewOneWithAPointEach)
{
    sink.SetNextFileName(In("one.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(0, 15);
    sink.Drain();
    sink.SetNextFileName(In("two.mp4"));
    PushVideoRange(15, 30);
    sink.Drain();
    sink.StopWriteThread(); // never started: only finishes the file

    const auto points = messenger.SyncPoints();
    ASSERT_EQ(points.size(), 4u);
    ExpectPoint(points[0], 0, 0.0, "one.mp4");
    ExpectPoint(points[1], 19, 0.0, "one.mp4");
    // The second file counts from its own first key packet.
    ExpectPoint(points[2], 20, 0.8, "two.mp4");
    EXPECT_NEAR(points[2].videoTime, 0.0, 1e-9);
    ExpectPoint(points[3], 29, 0.8, "two.mp4");
}

TEST_F(SyncSink, ConnectionLossEndsTheFileWithAPoint)
{
    sink.SetNextFileName(In("cam.mp4"));
    sink.Push(clip.codec);
    PushVideoRange(0, 12);
    sink.Push(std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "lost"));
    PushVideoRange(12, 25);
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();

    const auto points = messenger.SyncPoints();
    ASSERT_EQ(points.size(), 4u);
    ExpectPoint(points[0], 0, 0.0, "cam.mp4");
    ExpectPoint(points[1], 11, 0.0, "cam.mp4");
    ExpectPoint(points[2], 20, 0.8, "cam_%1.mp4");
    ExpectPoint(points[3], 24, 0.8, "cam_%1.mp4");
}

// A key packet shown later than it is decoded: the file starts at its decode
// time, so the first point sits at the difference. Ending the file right away
// sends the end point for the same packet.
TEST_F(SyncSink, VideoTimeCountsFromTheFirstKeyPacketsDecodeTime)
{
    auto video = std::make_shared<FFCodecInfo>(clip.codec->video->Context());
    video->timeBaseNum = 1;
    video->timeBaseDen = 90000;
    video->SetStreamType(FFStreamType::Video);
    auto raw = MakePacket();
    av_packet_ref(raw.get(), VideoPacket(0)->Get());
    raw->pts = 180000;
    raw->dts = 177000;
    auto key = std::make_shared<FFPacket>(raw.get());
    key->SetStreamType(FFStreamType::Video);
    key->liveTime = 0;
    key->liveFlag = true;

    sink.SetNextFileName(In("late.mp4"));
    sink.Push(std::make_shared<FFAVCodec>(video, nullptr));
    sink.Push(key);
    sink.Push(std::make_shared<FFEOSInfo>());
    sink.Drain();

    const auto points = messenger.SyncPoints();
    ASSERT_EQ(points.size(), 2u);
    for (const auto& point : points) {
        EXPECT_NEAR(point.videoTime, 3000.0 / 90000.0, 1e-9);
        EXPECT_EQ(point.PCTimeUTC, 0);
        EXPECT_TRUE(point.isGood);
        EXPECT_EQ(point.fileName, In("late.mp4"));
    }
}

TEST_F(SyncSink, AFileWithoutVideoSendsNoPoint)
{
    sink.SetNextFileName(In("empty.mp4"));
    sink.Push(clip.codec);
    sink.Drain();
    sink.Finish();
    EXPECT_TRUE(messenger.SyncPoints().empty());
}

TEST(SyncTimeFormat, FormatsUtcWithMillisecondsOrSaysInvalid)
{
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(0), "1970-01-01 00:00:00.000");
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(kCaptureStart), "2017-07-14 02:40:00.000");
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(kCaptureStart + 12345678), "2017-07-14 02:40:01.234");
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(-1), "Invalid timepoint");
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(INT64_MAX), "Invalid timepoint");
}

} // namespace
} // namespace RecordTest

// Queue bounds and overflow, and seeks worked off inside the decoder: audio
// read before the sought picture, and a continue after a seek.
#include "support/DecodeFeed.h"
#include "support/TestRecords.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace DecodeTest;
using namespace Quillet;

namespace {

// Key frames every 12 pictures (0.48 s), B-frames, and 16-bit audio, demuxed
// with or without the sound; a decoder to BGR to feed.
class FFDecodeSeek : public ::testing::Test {
protected:
    Demuxed Clip(bool audio)
    {
        return Demux(Testing::MakeClip("seek_h264_pcm.mov",
                                       "-f lavfi -i testsrc2=size=96x64:rate=25 -f lavfi -i "
                                       "aevalsrc='0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t)':s=8000:d=2 -t 2 "
                                       "-c:v libx264 -bf 2 -g 12 -keyint_min 12 -sc_threshold 0 -pix_fmt yuv420p "
                                       "-c:a pcm_s16le"),
                     true, audio);
    }
    void SetUp() override { decode.SetColorSpace(AV_PIX_FMT_BGR24); }

    FFDecode decode;
};

// Index of the last video key packet at or before `seconds`.
size_t KeyPacketBefore(const Demuxed& d, double seconds)
{
    size_t found = 1;
    for (size_t i = 1; i < d.records.size(); ++i) {
        const auto* p = dynamic_cast<const FFPacket*>(d.records[i].get());
        if (p && p->streamType == FFStreamType::Video && p->IsKey() &&
            p->Get()->pts * av_q2d(d.videoTimeBase) <= seconds)
            found = i;
    }
    return found;
}

} // namespace

// Past 60 waiting video records the backlog is dropped, but only when a key
// packet comes (decoding can restart there) and never while a seek is pending;
// descriptions do not pile up.
TEST(FFDecodeQueue, OverflowDropsTheBacklogOnlyAtAKeyPacketAndNotDuringASeek)
{
    FFDecode decode;
    auto description = std::make_shared<FFCodecInfo>();
    description->SetStreamType(FFStreamType::Video);
    decode.FFProcess(description);
    for (int i = 0; i < 61; ++i)
        decode.FFProcess(Testing::Video(0, false));
    EXPECT_EQ(decode.VideoQueueSize(), 62u); // nothing lost for a non-key packet
    decode.FFProcess(Testing::Video(0, true));
    EXPECT_EQ(decode.VideoQueueSize(), 2u); // the description and the key packet
    EXPECT_TRUE(decode.IsReadyToSeek());

    FFDecode seeking;
    seeking.FFProcess(std::make_shared<FFSeekInfo>(1.0));
    for (int i = 0; i < 70; ++i)
        seeking.FFProcess(Testing::Video(0, i % 10 == 0));
    EXPECT_EQ(seeking.VideoQueueSize(), 70u);

    // A description repeated with nothing after it replaces the one before
    // (a remote player fed the same batch again and again stays small); one
    // that packets followed stays.
    FFDecode described;
    for (int i = 0; i < 1000; ++i)
        described.FFProcess(Testing::Codec(1, 1000, true));
    EXPECT_EQ(described.VideoQueueSize(), 1u);
    EXPECT_EQ(described.AudioQueueSize(), 1u);
    described.FFProcess(Testing::Video(0, true));
    described.FFProcess(Testing::Codec(1, 1000, true));
    EXPECT_EQ(described.VideoQueueSize(), 3u);
}

// A live source pushes without waiting: Newest gives up everything before a
// newly arrived key picture, Every holds pictures until 10 s of camera time
// are queued, then drops to the key; files keep the overflow rule. Each
// given-up picture is counted as missed, descriptions and notices stay.
TEST(FFDecodeQueue, LiveRulesBoundTheBacklogAndCountWhatTheyGiveUp)
{
    struct Row {
        const char* name;
        LiveReadingRule rule;
        int seconds; // of camera time pushed, 25 pictures a second, a key each second
        size_t queued;
        uint64_t missed;
    };
    for (const Row& row : {Row{"newest", LiveReadingRule::Newest, 4, 27, 75},
                           Row{"every below the bound", LiveReadingRule::Every, 10, 252, 0},
                           Row{"every past the bound", LiveReadingRule::Every, 12, 52, 250},
                           Row{"file", LiveReadingRule::NotLive, 4, 26, 0}}) {
        SCOPED_TRACE(row.name);
        FFDecode decode;
        decode.SetLiveReading(row.rule);
        auto description = std::make_shared<FFCodecInfo>();
        description->SetStreamType(FFStreamType::Video);
        decode.FFProcess(description);
        decode.FFProcess(std::make_shared<FFConnectionInfo>(Quillet::ConnectionStatus::Connected, "up"));
        for (int i = 0; i < row.seconds * 25; ++i) {
            auto packet = Testing::Video(i, i % 25 == 0);
            packet->liveTime = int64_t(i + 1) * 400000; // 40 ms in 100 ns ticks
            decode.FFProcess(packet);
        }
        EXPECT_EQ(decode.VideoQueueSize(), row.queued);
        EXPECT_EQ(decode.MissedPictures(), row.missed);
    }
}

TEST_F(FFDecodeSeek, AudioReadBeforeTheSoughtPictureAbandonsTheSeek)
{
    decode.FFProcess(Clip(true).records.at(0));
    decode.FFProcess(std::make_shared<FFSeekInfo>(0.85));
    double t = -1.0;
    AudioBufferList filled = decode.ReadAudio({std::make_shared<std::vector<uint8_t>>(64)}, &t);
    EXPECT_TRUE(filled.empty());
    EXPECT_EQ(t, -1.0);
    EXPECT_FALSE(decode.IsSeekPending());
}

TEST_F(FFDecodeSeek, ContinueDropsQueuedDataButKeepsTheDecoderAndDescriptions)
{
    const Demuxed d = Clip(false);
    ASSERT_GT(d.records.size(), 25u);
    for (size_t i = 0; i < 20; ++i)
        decode.FFProcess(d.records[i]);
    ASSERT_GT(Testing::NextPicture(decode).size, 0);
    decode.FFProcess(std::make_shared<FFSeekInfo>(1.5));
    for (size_t i = 20; i < 25; ++i) // arrived for the seek, still queued
        decode.FFProcess(d.records[i]);
    ASSERT_GT(decode.VideoQueueSize(), 0u);
    decode.Continue();
    EXPECT_FALSE(decode.IsSeekPending());
    EXPECT_EQ(decode.VideoQueueSize(), 0u);
    EXPECT_TRUE(decode.HasVideoCodec());
    // Decoding resumes at the next key frame with times from the stream.
    std::vector<std::shared_ptr<FFData>> rest(d.records.begin() + static_cast<std::ptrdiff_t>(KeyPacketBefore(d, 1.0)),
                                              d.records.end());
    VideoRun run = FeedAndRead(decode, rest);
    ASSERT_FALSE(run.pictures.empty());
    EXPECT_NEAR(run.pictures[0].time, 0.96, 1e-9);
    EXPECT_TRUE(run.pictures[0].first);

    decode.Flush();
    EXPECT_FALSE(decode.HasVideoCodec());
    EXPECT_FALSE(decode.IsReadyToSeek());
}

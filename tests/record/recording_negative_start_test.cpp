// A clip as ffmpeg writes it by default: H.264 with B-frames in MP4 starts
// with a negative decode time. The recording must still start at the first
// key packet and keep every packet after it, not wait for a later key.
#include "recording_engine_support.h"

namespace RecordTest {
namespace {

class RecordingNegativeStart : public RecordFolder {};

TEST_F(RecordingNegativeStart, EveryPacketFromTheFirstKeyIsRecorded)
{
    const std::string clip = "rec_negative_dts_4s.mp4";
    if (!std::filesystem::exists(clip)) {
        Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
              "sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 -bf 2 -g 25 -c:a aac " + clip + " 2>&1");
    }
    const auto source = VideoPackets(Demux(clip));
    ASSERT_FALSE(source.empty());
    ASSERT_LT(source.front()->Get()->dts, 0) << "the clip no longer starts below zero";

    FFFileEngine engine("RecordingNegativeStartTest");
    ASSERT_TRUE(engine.OpenSource(clip));
    engine.SaveToVideoFile(In("all.mp4"));
    ASSERT_TRUE(engine.StartEngine());
    ASSERT_TRUE(WaitUntilSaved([&](bool* p) { return engine.IsVideoSave(p); }));
    engine.StopEngine();
    engine.CloseSource();

    const ProbeResult r = Probe(In("all.mp4"));
    ExpectWellFormed(r, "all.mp4");
    EXPECT_EQ(Hashes(r.video), Hashes(source));
    ASSERT_FALSE(r.video.empty());
    EXPECT_NEAR(r.video.front().dts, 0.0, 1e-9);
}

} // namespace
} // namespace RecordTest

// The container writer on its own: failed preparations leave it reusable, a
// video-only description makes a video-only file, and decode times that do
// not increase are moved just past the last (presentation order untouched).
#include <filesystem>
#include <stdexcept>

#include "record/FFFile.h"
#include "support/RecordedPackets.h"

namespace {

using namespace Quillet;
using namespace Quillet::Testing;
namespace fs = std::filesystem;

std::string Out(const std::string& name)
{
    fs::create_directories("record_out/writer");
    return "record_out/writer/" + name;
}

// Rows: the clip, the decode (= presentation unless B-frames) times given
// to the writer in ticks, and the times expected back in seconds.
struct RepairCase {
    const char* name;
    bool bframes;
    std::vector<int64_t> dts;        // given; presentation times are the clip's
    std::vector<double> writtenDts;  // seconds, as ffprobe reads them
};

class FFFileRepair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(FFFileRepair, AfterFailedPreparationsNonIncreasingDecodeTimesMovePastTheLastAndNothingIsDropped)
{
    const RepairCase& c = GetParam();
    const Demuxed clip = Demux(MakeClip(c.bframes ? "writer_bf_2s.mp4" : "writer_2s.mp4",
                                        std::string("-f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -g 25 ") +
                                            (c.bframes ? "-bf 2" : "-bf 0 -video_track_timescale 25")));
    const auto video = clip.Video();
    const int64_t start = video[0]->Get()->dts;
    const std::string path = Out(std::string(c.name) + (c.bframes ? ".mp4" : ".mkv"));
    {
        FFFile file;
        file.Finish(); // nothing to finish
        EXPECT_THROW(file.PrepareFile(Out("x.qqq"), clip.codec), std::invalid_argument);
        EXPECT_THROW(file.PrepareFile(Out("x.mp4"), std::shared_ptr<FFAVCodec>()), std::invalid_argument);
        EXPECT_THROW(file.PrepareFile(Out("missing/x.mp4"), clip.codec), std::runtime_error);
        file.Finish();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(fs::exists(Out("x.mp4")) || fs::exists(Out("missing")));
        ASSERT_EQ(file.PrepareFile(path, clip.codec->video), 0);
        for (size_t i = 0; i < c.dts.size(); ++i) {
            AVPacketPtr p = MakePacket(); // the writer takes what it is given
            av_packet_ref(p.get(), video[i]->Get());
            p->dts = c.dts[i];
            p->pts = c.bframes ? video[i]->Get()->pts - start : c.dts[i];
            p->stream_index = 0;
            p->duration = video[i]->Get()->duration;
            file.WriteVideoPacket(p.get());
        }
    } // the destructor finishes the file
    const WrittenFile r = ReadWritten(path);
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    EXPECT_TRUE(r.audio.empty());
    ASSERT_EQ(r.video.size(), c.dts.size());
    EXPECT_EQ(Hashes(r.video), Hashes(std::vector<std::shared_ptr<FFPacket>>(video.begin(), video.begin() + long(c.dts.size()))));
    const double tb = av_q2d(clip.codec->video->TimeBase());
    for (size_t i = 0; i < c.dts.size(); ++i) {
        EXPECT_NEAR(c.bframes ? r.video[i].dts : r.video[i].pts, c.writtenDts[i], 1e-6) << "packet " << i;
        if (c.bframes) { // B-frame order is kept: pictures show when they should
            EXPECT_NEAR(r.video[i].pts, double(video[i]->Get()->pts - start) * tb, 1e-6) << "packet " << i;
        }
    }
}

// Frame numbers in 1/25 (Matroska keeps milliseconds): a repeat and a jump
// back go one millisecond past their predecessor. With B-frames (1/12800,
// 512 ticks a frame) a repeated decode time moves one tick on.
INSTANTIATE_TEST_SUITE_P(
    Cases, FFFileRepair,
    ::testing::Values(RepairCase{"RepeatAndJumpBack", false, {0, 1, 2, 3, 4, 4, 6, 7, 2, 9},
                                 {0.0, 0.040, 0.080, 0.120, 0.160, 0.161, 0.240, 0.280, 0.281, 0.360}},
                      RepairCase{"BFrameRepeatedDecodeTime", true, {0, 512, 1024, 1536, 1536, 2560},
                                 {0.0, 0.04, 0.08, 0.12, 0.12 + 1 / 12800.0, 0.20}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

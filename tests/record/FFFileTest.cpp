// The container writer on its own: preparation failures, stream time bases
// and the repair of timestamps that do not increase.
#include "RecordTestSupport.h"

#include <stdexcept>

#include "support/CapturingAppender.h"

namespace RecordTest {
namespace {

class FFFileTest : public RecordFolder {
protected:
    // A video description like the clip's, but with the given stream time base.
    static std::shared_ptr<FFCodecInfo> VideoWithTimeBase(const FFCodecInfo& like, int num, int den)
    {
        auto info = std::make_shared<FFCodecInfo>(like.Context());
        info->timeBaseNum = num;
        info->timeBaseDen = den;
        info->SetStreamType(FFStreamType::Video);
        return info;
    }

    // A new reference to a clip packet with its own timestamps.
    static AVPacketPtr Copy(const FFPacket& p, int64_t pts, int64_t dts)
    {
        AVPacketPtr out = MakePacket();
        av_packet_ref(out.get(), p.Get());
        out->pts = pts;
        out->dts = dts;
        out->stream_index = 0;
        return out;
    }

    // H.264 with B-frames as ffmpeg makes it by default (time base 1/12800).
    static std::string BFrameClipForWriter()
    {
        const std::string name = "writer_bframes_2s.mp4";
        if (!std::filesystem::exists(name)) {
            const std::string temp = "tmp" + std::to_string(getpid()) + "_" + name;
            Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -bf 2 -g 25 " + temp);
            std::error_code ec;
            std::filesystem::rename(temp, name, ec);
        }
        return name;
    }

    static std::vector<std::shared_ptr<FFPacket>> VideoOf(const Demuxed& d)
    {
        std::vector<std::shared_ptr<FFPacket>> v;
        for (const auto& p : d.packets)
            if (IsVideo(p))
                v.push_back(p);
        return v;
    }
};

TEST_F(FFFileTest, RefusesBadPreparationsAndStaysReusable)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    FFFile file;
    EXPECT_EQ(file.GetFileName(), "NoFile");
    // Finishing a writer that never held a file changes nothing, twice over.
    file.Finish();
    file.Finish();
    EXPECT_FALSE(file.IsOpen());

    try {
        file.PrepareFile(In("x.qqq"), clip.codec);
        FAIL() << "unknown extension accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Wrong format for av_guess_format");
    }
    try {
        file.PrepareFile(In("x.mp4"), std::shared_ptr<FFAVCodec>());
        FAIL() << "null description accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "FFAVCodec may not be null");
    }
    auto none = std::make_shared<FFCodecInfo>();
    none->SetStreamType(FFStreamType::None);
    EXPECT_THROW(file.PrepareFile(In("x.mp4"), none), std::invalid_argument);
    EXPECT_TRUE(FilesInFolder().empty());

    // A folder that does not exist fails at the open; nothing is left
    // half-open afterwards and the same writer can still write a file.
    EXPECT_THROW(file.PrepareFile(In("missing/x.mp4"), clip.codec), std::runtime_error);
    file.Finish();
    EXPECT_FALSE(file.IsOpen());

    EXPECT_EQ(file.PrepareFile(In("ok.mp4"), clip.codec), 0);
    EXPECT_TRUE(file.IsOpen());
    file.Finish();
    EXPECT_TRUE(Probe(In("ok.mp4")).errors.empty());
}

TEST_F(FFFileTest, VideoOnlyFileUsesTheReducedStreamTimeBase)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    auto video = VideoWithTimeBase(*clip.codec->video, 2, 180000);
    const auto packets = VideoOf(clip);
    {
        FFFile file;
        // A fresh writer takes a video description alone as a video-only file.
        ASSERT_EQ(file.PrepareFile(In("tb.mkv"), video), 0);
        ASSERT_EQ(file.GetCodec()->video, video);
        EXPECT_EQ(file.GetCodec()->audio, nullptr);
        for (int i = 0; i < 10; ++i) {
            // One frame is 3600 ticks of 2/180000.
            AVPacketPtr p = Copy(*packets[i], i * 3600, i * 3600);
            file.WriteVideoPacket(p.get());
        }
    } // the destructor finishes the file
    const std::string streams =
        Shell("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + In("tb.mkv") + "'");
    EXPECT_EQ(streams, "video\n");

    {
        FFFile file;
        ASSERT_EQ(file.PrepareFile(In("tb.mp4"), video), 0);
        file.WriteVideoPacket(Copy(*packets[0], 0, 0).get());
    }
    // MP4 keeps the codec time base as its timescale: 2/180000 reduced.
    const std::string tb =
        Shell("ffprobe -v error -show_entries stream=time_base -of csv=p=0 '" + In("tb.mp4") + "'");
    EXPECT_EQ(tb, "1/90000\n");
}

TEST_F(FFFileTest, RepeatedAndBackwardTimestampsAreMovedPastTheLastNotDropped)
{
    const Demuxed clip = Demux(Clip("clip3s_g25.mp4", 3, 25));
    const auto packets = VideoOf(clip);
    // Frame numbers in the clip's 1/25 time base: one repeat and one jump back.
    const std::vector<int64_t> ts = {0, 1, 2, 3, 4, 4, 6, 7, 2, 9};
    Quillet::Testing::ScopedCapture log(log4cpp::Category::getRoot());
    {
        FFFile file;
        ASSERT_EQ(file.PrepareFile(In("repair.mkv"), std::make_shared<FFAVCodec>(clip.codec->video, nullptr)), 0);
        for (size_t i = 0; i < ts.size(); ++i) {
            AVPacketPtr p = Copy(*packets[i], ts[i], ts[i]);
            p->duration = 1;
            file.WriteVideoPacket(p.get());
        }
        file.Finish();
        file.Finish();
    }
    const ProbeResult r = Probe(In("repair.mkv"));
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    ASSERT_EQ(r.video.size(), ts.size());
    // Matroska counts in milliseconds. The first frame stays at 0; the repeat
    // and the jump back go one millisecond past their predecessor.
    const std::vector<double> expected = {0.0, 0.040, 0.080, 0.120, 0.160, 0.161, 0.240, 0.280, 0.281, 0.360};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(r.video[i].pts, expected[i], 1e-9) << "packet " << i;
    std::vector<std::shared_ptr<FFPacket>> written(packets.begin(), packets.begin() + static_cast<long>(ts.size()));
    EXPECT_EQ(Hashes(r.video), Hashes(written));
    // Only the two real violations are repaired, and each is logged.
    EXPECT_EQ(log->Count("Video: New PTS before last: 160 >= 160"), 1u);
    EXPECT_EQ(log->Count("\t... PTSes changed to: 161, 161"), 1u);
    EXPECT_EQ(log->Count("Video: New PTS before last: 280 >= 80"), 1u);
    EXPECT_EQ(log->Count("\t... PTSes changed to: 281, 281"), 1u);
    size_t repairs = 0;
    for (const auto& line : log->Texts())
        repairs += line.rfind("Video: New PTS before last: ", 0) == 0;
    EXPECT_EQ(repairs, 2u);
}

// B-frames: presentation times go back and forth by design; only decode
// times must increase. Written unchanged, nothing is "repaired"; a repeated
// decode time moves the decode time alone while the picture still shows
// when it should.
TEST_F(FFFileTest, BFrameOrderIsKeptAndOnlyDecodeTimesAreRepaired)
{
    const Demuxed clip = Demux(BFrameClipForWriter());
    const auto packets = VideoOf(clip);
    ASSERT_GT(packets.size(), 20u);
    const int64_t start = packets[0]->Get()->dts;
    Quillet::Testing::ScopedCapture log(log4cpp::Category::getRoot());
    {
        FFFile file;
        ASSERT_EQ(file.PrepareFile(In("bframes.mp4"), std::make_shared<FFAVCodec>(clip.codec->video, nullptr)), 0);
        for (size_t i = 0; i < 20; ++i) {
            const AVPacket* src = packets[i]->Get();
            AVPacketPtr p = Copy(*packets[i], src->pts - start, src->dts - start);
            p->duration = src->duration;
            if (i == 10)
                p->dts = packets[9]->Get()->dts - start; // a decode time given twice
            file.WriteVideoPacket(p.get());
        }
    }
    for (const auto& line : log->Texts())
        EXPECT_EQ(line.rfind("Video: New PTS before last: ", 0) == 0, line == "Video: New PTS before last: 4608 >= 4608")
            << line;
    const ProbeResult r = Probe(In("bframes.mp4"));
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    ASSERT_EQ(r.video.size(), 20u);
    const double tb = av_q2d(clip.codec->video->TimeBase());
    for (size_t i = 0; i < 20; ++i) {
        const AVPacket* src = packets[i]->Get();
        // ffprobe prints microseconds.
        EXPECT_NEAR(r.video[i].pts, static_cast<double>(src->pts - start) * tb, 1e-6) << "packet " << i;
        const double dts = i == 10 ? static_cast<double>(packets[9]->Get()->dts - start + 1) * tb
                                   : static_cast<double>(src->dts - start) * tb;
        EXPECT_NEAR(r.video[i].dts, dts, 1e-6) << "packet " << i;
    }
    EXPECT_DOUBLE_EQ(r.video[0].dts, 0.0);
}

} // namespace
} // namespace RecordTest

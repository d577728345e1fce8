// Playing files end to end through the player facade, one row per kind of
// clip, each row once on the reading thread alone and once with automatic
// decoding threads, against the ffmpeg tools: every picture once, in order, at
// ffprobe's times, with the tool's pixels (within a tolerance), written into
// one application buffer that keeps its storage; the sound as the tool decodes
// it to 16 bits; then end of stream once and the source closed by the engine.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "facade/FFWrapper.h"
#include "support/DecodeFeed.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

struct Row {
    const char* name;
    const char* clip;
    std::string recipe; // ffmpeg arguments that make the clip
    int pixelFormat;
    int tolerance;     // largest difference per byte from the tool's pixels
    int channels;      // delivered channels, 0 for a clip without sound
    int audioTolerance; // largest difference per sample from the tool's PCM
};

// Sound stops half a second before the pictures, so every audio packet is
// queued well before the end of stream closes the source.
const std::string kPictures = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=1.5 ";
const std::string kStereo = "-f lavfi -i aevalsrc='0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t)':d=1:s=";
const std::string kMono = "-f lavfi -i aevalsrc='0.6*sin(300*2*PI*t)':s=22050:d=1 ";
const std::string kSurround = "-f lavfi -i aevalsrc='0.3*sin(200*2*PI*t)|0.3*sin(300*2*PI*t)|0.3*sin(400*2*PI*t)|"
                              "0.2*sin(50*2*PI*t)|0.3*sin(500*2*PI*t)|0.3*sin(600*2*PI*t)':s=48000:d=1:c=5.1 ";
const std::string kH264 = "-c:v libx264 -bf 3 -g 20 -pix_fmt yuv420p ";

const Row kRows[] = {
    {"H264BFramesPcmStereo", "pt_h264_s16.mkv", kPictures + kStereo + "44100 " + kH264 + "-c:a pcm_s16le",
     AV_PIX_FMT_BGR24, 4, 2, 0},
    // The decoder's own format: the planes come out as a plain copy.
    {"H264PlanesUnconverted", "pt_h264_s16.mkv", kPictures + kStereo + "44100 " + kH264 + "-c:a pcm_s16le",
     AV_PIX_FMT_YUV420P, 0, 0, 0},
    {"H264AacInMp4ToRgb", "pt_h264_aac.mp4", kPictures + kStereo + "48000 " + kH264 + "-c:a aac -b:a 128k",
     AV_PIX_FMT_RGB24, 4, 2, 2},
    {"Mpeg4InAviPcmMono", "pt_mpeg4.avi", kPictures + kMono + "-c:v mpeg4 -bf 1 -q:v 4 -c:a pcm_s16le",
     AV_PIX_FMT_BGR24, 4, 1, 0},
    {"HevcAc3MixedDown", "pt_hevc_ac3.mkv",
     kPictures + kSurround + "-c:v libx265 -x265-params log-level=error -c:a ac3 -b:a 384k", AV_PIX_FMT_BGR24, 4, 2,
     2},
    {"FullRangeMjpegOnTheScaler", "pt_mjpeg.avi", kPictures + "-c:v mjpeg -pix_fmt yuvj422p -q:v 3",
     AV_PIX_FMT_BGR24, 4, 0, 0},
    {"Vp9InWebm", "pt_vp9.webm", kPictures + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8", AV_PIX_FMT_BGR24, 4,
     0, 0},
    {"Mpeg2TransportStream", "pt_mpeg2.ts", kPictures + "-c:v mpeg2video -bf 2", AV_PIX_FMT_BGR24, 4, 0, 0},
};

// What the ffmpeg tool decodes `clip` to with the output options `args`.
std::vector<uint8_t> ToolOutput(const std::string& clip, const std::string& args)
{
    const std::string out = clip + "." + std::to_string(getpid()) + ".raw";
    Run("ffmpeg -nostdin -v error -y -threads 1 -i " + clip + " " + args + " " + out);
    auto bytes = DecodeTest::ReadBytes(out);
    std::remove(out.c_str());
    return bytes;
}

template <typename T>
int MaxDifference(const T* a, const T* b, size_t n)
{
    int worst = 0;
    for (size_t i = 0; i < n; ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; } // for readable test listings

class PlaybackTable : public ::testing::TestWithParam<std::tuple<Row, int>> {};

} // namespace

TEST_P(PlaybackTable, PlaysLikeTheTools)
{
    const auto& [row, threads] = GetParam();
    const std::string clip = MakeClip(row.clip, row.recipe);
    const std::vector<double> times = DecodeTest::ProbeFrameTimes(clip);
    ASSERT_GT(times.size(), 20u);
    // Plays through the facade, pulling sound before every picture, until the
    // end marker came and nothing followed for a while.
    std::vector<Shown> pictures;
    std::vector<double> audioTimes;
    std::vector<int16_t> samples;
    std::atomic<int> endEvents{0};
    int endMarkers = 0, rate = 0, bits = 0, channels = 0;
    bool ended = false, storageKept = true;
    {
        FFWrapper player("PlaybackTable");
        player.RegisterFFEventCallback(ManagedEventDelegate([&endEvents](const EventArgs& a) {
            if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&a); m && m->message == FFMessageType::EndOfStream)
                ++endEvents;
        }));
        player.SetDecodingThreads(threads);
        RecordingHost host(4096, 1); // one block per call: each time reported is its own
        ASSERT_TRUE(player.OpenSource(clip));
        player.DecodeVideo(row.pixelFormat);
        EXPECT_NEAR(player.GetDuration(), 1.5, 0.1);
        player.GetAudioFormat(rate, bits, channels);
        player.SetAudioInterface(&host);
        ASSERT_TRUE(player.StartEngine());
        FrameData frame;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (int idleAfterEnd = 0; !ended && std::chrono::steady_clock::now() < deadline;) {
            for (double t; (t = player.ReadAudioFromInterface()) >= 0;)
                audioTimes.push_back(t);
            const uint8_t* storage = frame.frame.data();
            const size_t bytes = frame.frame.size();
            const int n = player.ReadFrameGetSize(&frame);
            if (n > 0) {
                EXPECT_TRUE(frame.captureTime.time_since_epoch().count() == 0 && !frame.captureTimeTrusted)
                    << "a file has no capture time";
                storageKept = storageKept && (bytes != frame.frame.size() || storage == frame.frame.data());
                pictures.push_back({n, 0, frame.frameTime, frame.firstFrame, frame.width, frame.height, frame.frame});
            } else if (n < 0) {
                ++endMarkers;
            } else if (endMarkers > 0 && ++idleAfterEnd > 50) {
                ended = true;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        samples = host.Samples();
        // The close worker closes the source after the end: its facts are gone.
        EXPECT_TRUE(WaitFor([&] { return player.Width() == 0; }, 2s));
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(endMarkers, 1);
    EXPECT_EQ(endEvents.load(), 1);
    EXPECT_TRUE(storageKept) << "the application's buffer was reallocated at the same size";

    ASSERT_EQ(pictures.size(), times.size());
    const std::vector<uint8_t> reference =
        ToolOutput(clip, std::string("-map 0:v -fps_mode passthrough -f rawvideo -pix_fmt ") +
                             av_get_pix_fmt_name(static_cast<AVPixelFormat>(row.pixelFormat)));
    const auto frameBytes = static_cast<size_t>(
        av_image_get_buffer_size(static_cast<AVPixelFormat>(row.pixelFormat), 320, 240, 1));
    ASSERT_EQ(reference.size(), pictures.size() * frameBytes);
    for (size_t i = 0; i < times.size(); ++i) {
        const auto& pic = pictures[i];
        if (std::isnan(times[i]))
            EXPECT_GT(pic.time, i > 0 ? pictures[i - 1].time : -1.0) << "picture " << i;
        else
            EXPECT_NEAR(pic.time, times[i], 1e-3) << "picture " << i;
        EXPECT_EQ(pic.first, i == 0) << "picture " << i;
        ASSERT_EQ(pic.pixels.size(), frameBytes);
        EXPECT_LE(MaxDifference(pic.pixels.data(), reference.data() + i * pic.pixels.size(), pic.pixels.size()),
                  row.tolerance)
            << "picture " << i;
    }

    if (row.channels == 0)
        return;
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(channels, row.channels);
    const std::vector<uint8_t> bytes = ToolOutput(clip, "-map 0:a -ac " + std::to_string(row.channels) + " -f s16le");
    std::vector<int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    ASSERT_FALSE(pcm.empty());
    EXPECT_EQ(samples.size(), pcm.size());
    EXPECT_LE(MaxDifference(samples.data(), pcm.data(), std::min(samples.size(), pcm.size())), row.audioTolerance);
    ASSERT_FALSE(audioTimes.empty());
    EXPECT_TRUE(std::is_sorted(audioTimes.begin(), audioTimes.end()));
    EXPECT_NEAR(audioTimes.front(), 0.0, 0.03);
}

INSTANTIATE_TEST_SUITE_P(Clips, PlaybackTable, ::testing::Combine(::testing::ValuesIn(kRows), DecodingThreadsUnderTest()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    DecodingThreadsName(std::get<1>(info.param));
                         });

// Pictures handed out at the size the application shows them: each row plays
// its clip at the coded size and again with a picture size, and every sized
// picture must be the full picture scaled by libswscale (area filter) within
// a small mean difference, at the size the box and the display aspect ratio
// give, with the coded size still reported. Rows change the size while playing or the stream changes resolution.
namespace {

struct SizedPicture {
    int codedWidth, codedHeight; // the decoded size
    int width, height;           // handed out at
};

struct SizeRow {
    const char* name;
    const char* clip;
    std::string recipe; // ffmpeg arguments; a second one is appended as a new resolution
    std::string secondPart;
    int boxWidth, boxHeight;
    std::vector<SizedPicture> sizes;
    int changeAt = -1; // picture after which the box changes to the second one
    int laterWidth = 0, laterHeight = 0;
    std::vector<SizedPicture> laterSizes = {};
};

const std::string kSmall = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=1 ";
const std::string kFastH264 = "-c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p ";

const SizeRow kSizeRows[] = {
    {"BoxFitsTheWidth", "ps_plain.mkv", kSmall + kFastH264, "", 200, 200, {{320, 240, 200, 150}}},
    {"BoxFitsTheHeight", "ps_plain.mkv", kSmall + kFastH264, "", 400, 90, {{320, 240, 120, 90}}},
    {"HeightFollowsOddWidth", "ps_plain.mkv", kSmall + kFastH264, "", 161, 0, {{320, 240, 161, 121}}},
    {"WidthFollowsOddHeight", "ps_plain.mkv", kSmall + kFastH264, "", 0, 77, {{320, 240, 103, 77}}},
    {"LargerThanCoded", "ps_plain.mkv", kSmall + kFastH264, "", 0, 480, {{320, 240, 640, 480}}},
    // 2:1 samples: displayed 640x240.
    {"AnamorphicWide", "ps_sar2.mkv", kSmall + "-vf setsar=2/1 " + kFastH264, "", 320, 320, {{320, 240, 320, 120}}},
    {"FullRangeOnTheScaler", "ps_mjpeg.avi", kSmall + "-c:v mjpeg -pix_fmt yuvj422p -q:v 3", "", 160, 0,
     {{320, 240, 160, 120}}},
    {"ChangedWhilePlaying", "ps_plain.mkv", kSmall + kFastH264, "", 160, 0, {{320, 240, 160, 120}}, 9, 0, 0,
     {{320, 240, 320, 240}}},
    {"StreamChangesResolution", "ps_two_sizes.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=0.6 " + kFastH264,
     "-f lavfi -i testsrc2=size=480x200:rate=25:duration=0.6 " + kFastH264, 240, 0,
     {{320, 240, 240, 180}, {480, 200, 240, 100}}},
};

void PrintTo(const SizeRow& row, std::ostream* os) { *os << row.name; }

std::string MakeSizeClip(const SizeRow& row)
{
    if (row.secondPart.empty())
        return MakeClip(row.clip, row.recipe);
    // Two transport streams one after the other: one stream whose size changes.
    return Testing::MakeFile(row.clip, [&](const std::string& out) {
        const std::string a = out + ".a.ts", b = out + ".b.ts";
        Run("ffmpeg -v error -y " + row.recipe + " -f mpegts " + a);
        Run("ffmpeg -v error -y " + row.secondPart + " -output_ts_offset 0.6 -f mpegts " + b);
        Run("cat " + a + " " + b + " > " + out + " && rm -f " + a + " " + b);
    });
}

// A picture handed out, with the size the player reported meanwhile.
struct Played : Shown {
    int codedWidth = 0, codedHeight = 0;
};

// Every picture of `clip` in BGR, at the box given (and at the later box from
// picture `changeAt` + 1 on).
std::vector<Played> PlayAtSize(const std::string& clip, const SizeRow& row, bool sized)
{
    std::vector<Played> pictures;
    FFWrapper player("PictureSize");
    EXPECT_TRUE(player.OpenSource(clip));
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    if (sized) {
        EXPECT_TRUE(player.SetPictureSize(row.boxWidth, row.boxHeight));
    }
    EXPECT_TRUE(player.StartEngine());
    FrameData frame;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        const int n = player.ReadFrameGetSize(&frame);
        if (n < 0)
            break;
        if (n == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        Played p;
        p.size = n;
        p.time = frame.frameTime;
        p.width = frame.width;
        p.height = frame.height;
        p.pixels = frame.frame;
        player.GetDimensions(p.codedWidth, p.codedHeight);
        pictures.push_back(std::move(p));
        if (sized && static_cast<int>(pictures.size()) == row.changeAt + 1) {
            EXPECT_TRUE(player.SetPictureSize(row.laterWidth, row.laterHeight));
        }
    }
    return pictures;
}

// libswscale's area scaling of a packed BGR picture.
std::vector<uint8_t> ScaledBgr(const Shown& full, int width, int height)
{
    std::vector<uint8_t> out(size_t(3) * width * height);
    SwsContext* sws = sws_getContext(full.width, full.height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_BGR24,
                                     SWS_AREA, nullptr, nullptr, nullptr);
    const uint8_t* src[1] = {full.pixels.data()};
    const int srcStride[1] = {3 * full.width};
    uint8_t* dst[1] = {out.data()};
    const int dstStride[1] = {3 * width};
    sws_scale(sws, src, srcStride, 0, full.height, dst, dstStride);
    sws_freeContext(sws);
    return out;
}

class PictureSizeTable : public ::testing::TestWithParam<SizeRow> {};

} // namespace

TEST_P(PictureSizeTable, ScaledLikeTheFullPicture)
{
    const SizeRow& row = GetParam();
    const std::string clip = MakeSizeClip(row);
    const std::vector<Played> full = PlayAtSize(clip, row, false);
    const std::vector<Played> sized = PlayAtSize(clip, row, true);
    ASSERT_GT(full.size(), 10u);
    ASSERT_EQ(sized.size(), full.size());
    for (size_t i = 0; i < full.size(); ++i) {
        const bool later = row.changeAt >= 0 && static_cast<int>(i) > row.changeAt;
        const auto& sizes = later ? row.laterSizes : row.sizes;
        const auto expected = std::find_if(sizes.begin(), sizes.end(), [&](const SizedPicture& s) {
            return s.codedWidth == full[i].width && s.codedHeight == full[i].height;
        });
        ASSERT_NE(expected, sizes.end()) << "picture " << i << " came at " << full[i].width << "x" << full[i].height;
        EXPECT_EQ(sized[i].time, full[i].time) << "picture " << i;
        EXPECT_EQ(sized[i].codedWidth, full[i].codedWidth) << "picture " << i << ": the coded size stays reported";
        EXPECT_EQ(sized[i].codedHeight, full[i].codedHeight) << "picture " << i;
        ASSERT_EQ(sized[i].width, expected->width) << "picture " << i;
        ASSERT_EQ(sized[i].height, expected->height) << "picture " << i;
        ASSERT_EQ(sized[i].pixels.size(), size_t(3) * expected->width * expected->height) << "picture " << i;
        const std::vector<uint8_t> reference = ScaledBgr(full[i], expected->width, expected->height);
        // Brightness follows the full picture closely; colour less so, as 4:2:0
        // chroma is scaled at half the resolution (a misplaced row or column
        // shows in the brightness, swapped channels give 100 in colour).
        double colour = 0, brightness = 0;
        const auto luma = [](const uint8_t* p) { return (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8; };
        for (size_t b = 0; b < reference.size(); b += 3) {
            for (size_t c = 0; c < 3; ++c)
                colour += std::abs(int(sized[i].pixels[b + c]) - int(reference[b + c]));
            brightness += std::abs(luma(&sized[i].pixels[b]) - luma(&reference[b]));
        }
        EXPECT_LT(brightness / (reference.size() / 3), 3.5) << "picture " << i;
        EXPECT_LT(colour / reference.size(), 14.0) << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureSizeTable, ::testing::ValuesIn(kSizeRows),
                         [](const auto& info) { return std::string(info.param.name); });

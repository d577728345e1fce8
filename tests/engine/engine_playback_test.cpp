// Playing files end to end through the engine, checked against the ffmpeg
// tools: every picture once, in order, at ffprobe's times, with the right
// pixels; then end of stream, the close worker, and clean failure on bad input.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/FFEngine.h"
#include "support/CapturingAppender.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/imgutils.h>
}

using namespace Quillet;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

struct Picture {
    double time;
    int width;
    int height;
    std::vector<uint8_t> pixels;
};

struct Playback {
    std::vector<Picture> pictures;
    int endMarkers = 0;
    bool timedOut = false;
};

// Reads pictures until end of stream (and a little beyond, to see that -1 comes once).
Playback PlayToEnd(FFEngine& engine, bool keepPixels = true, std::chrono::seconds limit = 60s)
{
    Playback p;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int idleAfterEnd = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        FFCLIFrame f = engine.ReadVideo();
        if (f.size > 0) {
            Picture pic{f.frame->GetFrameTime(), f.frame->CFrame()->width, f.frame->CFrame()->height, {}};
            if (keepPixels) {
                pic.pixels.resize(static_cast<size_t>(f.size));
                f.frame->CopyFrame(pic.pixels.data());
            }
            p.pictures.push_back(std::move(pic));
        } else if (f.size < 0) {
            ++p.endMarkers;
        } else {
            if (p.endMarkers > 0 && ++idleAfterEnd > 50)
                return p;
            std::this_thread::sleep_for(1ms);
        }
    }
    p.timedOut = true;
    return p;
}

std::vector<double> ProbeFrameTimes(const std::string& clip)
{
    std::istringstream out(Capture("ffprobe -v error -select_streams v:0 -show_entries "
                                   "frame=best_effort_timestamp_time -of csv=p=0 " + clip));
    std::vector<double> times;
    std::string line;
    while (std::getline(out, line))
        if (line.rfind("N/A", 0) == 0)
            times.push_back(NAN); // no timestamp: the engine repairs it, checked for order only
        else if (!line.empty())
            times.push_back(std::stod(line));
    return times;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The ffmpeg tool's own conversion of every picture, in presentation order.
std::vector<uint8_t> ToolPixels(const std::string& clip, const char* format)
{
    const std::string out = clip + "." + std::to_string(getpid()) + "." + format;
    Run("ffmpeg -nostdin -v error -y -threads 1 -i " + clip + " -fps_mode passthrough -f rawvideo -pix_fmt " +
        format + " " + out);
    return ReadFile(out);
}

int MaxDifference(const uint8_t* a, const uint8_t* b, size_t n)
{
    int worst = 0;
    for (size_t i = 0; i < n; ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

class EngineUnderTest {
public:
    explicit EngineUnderTest(const std::string& clip, int pixelFormat = AV_PIX_FMT_BGR24) : engine("EngineTest")
    {
        engine.RegisterFFEventCallback([this](FFEventArgs* a) {
            if (a->type == MessageEvent && static_cast<FFMessageArgs*>(a)->message == EndOfStream)
                ++endEvents;
        });
        opened = engine.OpenSource(clip);
        engine.PrepareVideoDecode(pixelFormat);
        started = engine.StartEngine();
    }
    ~EngineUnderTest()
    {
        engine.StopEngine();
        engine.CloseSource();
    }

    FFEngine engine;
    std::atomic<int> endEvents{0};
    bool opened = false;
    bool started = false;
};

// Plays a clip and checks count, order, times, the end-of-stream sequence and the close worker.
Playback CheckPlaysEveryPictureOnce(const std::string& clip)
{
    const auto expected = ProbeFrameTimes(clip);
    EngineUnderTest t(clip);
    EXPECT_TRUE(t.opened);
    EXPECT_TRUE(t.started);
    Playback p = PlayToEnd(t.engine);
    EXPECT_FALSE(p.timedOut);
    EXPECT_EQ(p.endMarkers, 1);
    EXPECT_EQ(t.endEvents.load(), 1);
    EXPECT_EQ(p.pictures.size(), expected.size());
    for (size_t i = 0; i < std::min(p.pictures.size(), expected.size()); ++i) {
        if (std::isnan(expected[i]))
            EXPECT_GT(p.pictures[i].time, i > 0 ? p.pictures[i - 1].time : -1.0) << "picture " << i;
        else
            EXPECT_NEAR(p.pictures[i].time, expected[i], 1e-3) << "picture " << i;
    }
    // The close worker has closed the source: nothing more comes, and no source is left.
    for (int i = 0; i < 200 && t.engine.Width() != 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(t.engine.Width(), 0);
    EXPECT_FALSE(t.engine.IsEngineRunning());
    EXPECT_EQ(t.engine.ReadVideo().size, 0);
    return p;
}

void CheckAgainstToolPixels(const std::string& clip, const Playback& p, const char* format, int tolerance)
{
    const auto reference = ToolPixels(clip, format);
    size_t at = 0;
    for (size_t i = 0; i < p.pictures.size(); ++i) {
        const auto& pic = p.pictures[i];
        ASSERT_LE(at + pic.pixels.size(), reference.size()) << "picture " << i;
        EXPECT_LE(MaxDifference(pic.pixels.data(), reference.data() + at, pic.pixels.size()), tolerance)
            << "picture " << i;
        at += pic.pixels.size();
    }
    EXPECT_EQ(at, reference.size());
}

const std::string kTestPattern = "-f lavfi -i testsrc2=size=320x240:rate=25 ";

} // namespace

TEST(EnginePlayback, H264WithBFramesInMp4MatchesTheToolOnTheLibyuvRoute)
{
    const auto clip = MakeClip("play_h264.mp4", kTestPattern + "-t 2 -c:v libx264 -bf 3 -g 20 -pix_fmt yuv420p");
    auto p = CheckPlaysEveryPictureOnce(clip);
    CheckAgainstToolPixels(clip, p, "bgr24", 4);
}

TEST(EnginePlayback, RgbOrderIsHonoured)
{
    const auto clip = MakeClip("play_h264.mp4", kTestPattern + "-t 2 -c:v libx264 -bf 3 -g 20 -pix_fmt yuv420p");
    EngineUnderTest t(clip, AV_PIX_FMT_RGB24);
    auto p = PlayToEnd(t.engine);
    CheckAgainstToolPixels(clip, p, "rgb24", 4);
}

TEST(EnginePlayback, Mpeg4PartTwoInAvi)
{
    CheckPlaysEveryPictureOnce(MakeClip("play_mpeg4.avi", kTestPattern + "-t 2 -c:v mpeg4 -bf 1 -q:v 4"));
}

TEST(EnginePlayback, FullRangeMjpegTakesTheScalerRoute)
{
    const auto clip = MakeClip("play_mjpeg.avi", kTestPattern + "-t 1 -c:v mjpeg -pix_fmt yuvj422p -q:v 3");
    auto p = CheckPlaysEveryPictureOnce(clip);
    CheckAgainstToolPixels(clip, p, "bgr24", 4);
}

TEST(EnginePlayback, HevcInMatroskaAndVp9InWebm)
{
    CheckPlaysEveryPictureOnce(MakeClip("play_hevc.mkv", kTestPattern + "-t 1 -c:v libx265 -x265-params log-level=error"));
    CheckPlaysEveryPictureOnce(MakeClip("play_vp9.webm", kTestPattern + "-t 1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8"));
}

TEST(EnginePlayback, Mpeg2TransportStreamWithoutContainerDuration)
{
    const auto clip = MakeClip("play_mpeg2.ts", kTestPattern + "-t 3 -c:v mpeg2video -bf 2");
    CheckPlaysEveryPictureOnce(clip);
    EngineUnderTest t(clip);
    EXPECT_NEAR(t.engine.GetDuration(), 3.0, 0.1);
}

TEST(EnginePlayback, ResolutionChangeMidwayWarnsOnceAndDeliversTheNewSize)
{
    const auto a = MakeClip("size_a.ts", kTestPattern + "-t 1 -c:v libx264 -bf 0 -g 10");
    const auto b = MakeClip("size_b.ts", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 1 -c:v libx264 -bf 0 -g 10 "
                                         "-output_ts_offset 1");
    const std::string clip = "size_change.ts";
    {
        std::ofstream out(clip, std::ios::binary);
        auto first = ReadFile(a), second = ReadFile(b);
        out.write(reinterpret_cast<const char*>(first.data()), static_cast<std::streamsize>(first.size()));
        out.write(reinterpret_cast<const char*>(second.data()), static_cast<std::streamsize>(second.size()));
    }
    EngineUnderTest t(clip);
    ScopedCapture capture(t.engine.Category());
    auto p = PlayToEnd(t.engine, false);
    ASSERT_FALSE(p.pictures.empty());
    EXPECT_EQ(p.pictures.front().width, 320);
    EXPECT_EQ(p.pictures.back().width, 160);
    EXPECT_EQ(p.pictures.back().height, 120);
    size_t changes = 0;
    for (const auto& line : capture->Lines())
        changes += line.priority == 400 && line.text.rfind("Changing from ", 0) == 0;
    EXPECT_EQ(changes, 1u);
}

TEST(EnginePlayback, StopCloseAndDestroyWhileReadingNeverDeadlock)
{
    const auto clip = MakeClip("play_h264.mp4", kTestPattern + "-t 2 -c:v libx264 -bf 3 -g 20 -pix_fmt yuv420p");
    for (int round = 0; round < 20; ++round) {
        auto engine = std::make_unique<FFEngine>("EngineTest");
        ASSERT_TRUE(engine->OpenSource(clip));
        engine->PrepareVideoDecode(AV_PIX_FMT_BGR24);
        ASSERT_TRUE(engine->StartEngine());
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            while (!stop)
                engine->ReadVideo();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        switch (round % 3) {
        case 0: engine->StopEngine(); break;
        case 1: engine->CloseSource(); break;
        default: break;
        }
        stop = true;
        reader.join();
        engine->CloseSource();
        engine.reset();
    }
}

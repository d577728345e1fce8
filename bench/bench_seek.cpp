// Time from Seek to the landing picture through the playback engine, on a
// 1080p H.264 clip with a key picture every 2 s in MP4 and in a transport
// stream, side by side with the ffmpeg tool's accurate seek
// (`ffmpeg -ss T -i clip -frames:v 1`) to the same targets in the same run.
// The tool's figure includes starting the process and opening the file; the
// engine's clip is opened once, as a player scrubbing it would have it.
//
//   bench_seek [clip.mp4]     (default: a clip generated on the spot)
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/FFEngine.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

// Late in a key-frame interval, early in one, on a key picture, backwards.
const std::vector<double> kTargets = {1.9, 3.3, 5.96, 8.0, 2.5, 10.7, 7.04, 0.5};

std::string TransportCopy(const std::string& mp4)
{
    const std::string ts = mp4 + ".ts";
    const std::string cmd = "ffmpeg -nostdin -v error -y -i " + mp4 + " -c copy -muxdelay 0 " + ts;
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("cannot remux " + mp4);
    return ts;
}

// The clip's first picture time, which the targets are counted from.
double FirstPictureTime(FFEngine& engine)
{
    for (;;) {
        FFCLIFrame f = engine.ReadVideo();
        if (f.size > 0)
            return f.frame->GetFrameTime();
        if (f.size < 0)
            throw std::runtime_error("no picture");
        std::this_thread::yield();
    }
}

// Seconds from each Seek to its picture, with the engine paused (scrubbing)
// or playing.
std::vector<double> EngineSeeks(const std::string& clip, bool paused, double& start)
{
    FFEngine engine("bench");
    engine.EnableAudio(false);
    if (!engine.OpenSource(clip))
        throw std::runtime_error("engine cannot open " + clip);
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    engine.StartEngine();
    start = FirstPictureTime(engine);
    if (paused)
        engine.Pause();
    std::vector<double> spent;
    for (double t : kTargets) {
        const auto begin = Clock::now();
        engine.Seek(start + t);
        for (;;) {
            FFCLIFrame f = engine.ReadVideo();
            if (f.size != 0)
                break;
            std::this_thread::yield();
        }
        spent.push_back(Seconds(Clock::now() - begin));
    }
    engine.StopEngine();
    engine.CloseSource();
    return spent;
}

// The tool counts -ss from the file's start time itself.
std::vector<double> ToolSeeks(const std::string& clip)
{
    std::vector<double> spent;
    for (double t : kTargets) {
        const std::string cmd = "ffmpeg -nostdin -v error -ss " + std::to_string(t) + " -i " + clip +
                                " -frames:v 1 -f rawvideo -pix_fmt bgr24 -y /dev/null";
        const auto begin = Clock::now();
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("ffmpeg failed");
        spent.push_back(Seconds(Clock::now() - begin));
    }
    return spent;
}

void Print(const char* mode, const std::vector<double>& engine, const std::vector<double>& tool)
{
    double engineSum = 0.0, toolSum = 0.0;
    std::cout << "  " << mode << ": target   engine ms   ffmpeg ms   ratio\n";
    for (size_t i = 0; i < kTargets.size(); ++i) {
        engineSum += engine[i];
        toolSum += tool[i];
        std::cout << std::fixed << std::setprecision(2) << std::setw(16) << kTargets[i] << std::setw(12)
                  << engine[i] * 1000 << std::setw(12) << tool[i] * 1000 << std::setw(8) << engine[i] / tool[i]
                  << "\n";
    }
    std::cout << "  ratio engine / ffmpeg, " << mode << ", all targets: " << engineSum / toolSum << "\n";
}

void Report(const std::string& clip)
{
    double start = 0.0;
    ToolSeeks(clip); // warm the file cache
    const auto playing = EngineSeeks(clip, false, start);
    const auto paused = EngineSeeks(clip, true, start);
    const auto tool = ToolSeeks(clip);
    std::cout << "clip: " << clip << " (first picture at " << start << " s)\n";
    Print("playing", playing, tool);
    Print("paused", paused, tool);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        av_log_set_level(AV_LOG_ERROR);
        const std::string mp4 = Bench::ClipFromArgs(argc, argv, "bench_seek_1080p.mp4",
                                                    "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 12 -c:v libx264 "
                                                    "-preset veryfast -bf 2 -g 50 -keyint_min 50 -sc_threshold 0 "
                                                    "-pix_fmt yuv420p");
        Report(mp4);
        Report(TransportCopy(mp4));
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_seek: " << e.what() << "\n";
        return 1;
    }
}

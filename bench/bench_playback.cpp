// Pictures per second through the playback engine to packed BGR, side by
// side with the ffmpeg tool decoding the same clip to bgr24 on one thread;
// the cost of each conversion route alone is measured by bench_conversion.
//
//   bench_playback [clip]     (default: a 1080p H.264 clip generated on the spot)
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/FFAVPtr.h"
#include "BenchSupport.h"
#include "engine/FFEngine.h"


using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

std::string EnsureClip(int argc, char** argv)
{
    return Bench::ClipFromArgs(argc, argv, "bench_1080p.mp4",
                                "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 12 -c:v libx264 -preset veryfast -bf 2 -g 50 "
                                "-pix_fmt yuv420p");
}

// Returns pictures per second and the number of pictures.
std::pair<double, int> EngineRun(const std::string& clip)
{
    FFEngine engine("bench");
    engine.EnableAudio(false);
    if (!engine.OpenSource(clip))
        throw std::runtime_error("engine cannot open " + clip);
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    const auto start = Clock::now();
    engine.StartEngine();
    int pictures = 0;
    for (;;) {
        FFCLIFrame f = engine.ReadVideo();
        if (f.size < 0)
            break;
        if (f.size > 0)
            ++pictures;
        else
            std::this_thread::yield();
    }
    const double s = Seconds(Clock::now() - start);
    engine.StopEngine();
    engine.CloseSource();
    return {pictures / s, pictures};
}

double ToolRun(const std::string& clip, int pictures)
{
    const std::string cmd = "ffmpeg -nostdin -v error -threads 1 -i " + clip +
                            " -an -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -y /dev/null";
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed");
    return pictures / Seconds(Clock::now() - start);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        av_log_set_level(AV_LOG_ERROR);
        const std::string clip = EnsureClip(argc, argv);
        ToolRun(clip, 1); // warm the file cache
        const auto [enginePps, pictures] = EngineRun(clip);
        const double toolPps = ToolRun(clip, pictures);
        std::cout << "clip: " << clip << ", " << pictures << " pictures\n"
                  << "engine ReadVideo to BGR24:        " << enginePps << " pictures/s\n"
                  << "ffmpeg -threads 1 to bgr24:       " << toolPps << " pictures/s\n"
                  << "ratio engine / ffmpeg:            " << enginePps / toolPps << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_playback: " << e.what() << "\n";
        return 1;
    }
}

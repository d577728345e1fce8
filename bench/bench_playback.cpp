// Pictures per second through the player facade to packed BGR (into the
// application's FrameData, as an application reads them), with one decoding
// thread and with automatic threads, side by side in the same run with the
// ffmpeg tool decoding the same clip to bgr24 with `-threads 1` and
// `-threads 0`, and with OpenCV's VideoCapture when Debian's python3-opencv
// is installed. The cost of each conversion route alone is measured by
// bench_conversion.
//
// A shared machine changes speed from one second to the next, so every
// contender runs once per round, the rounds interleaved, and each figure is
// the median of its rounds: a slow moment then costs every contender alike.
// The last line gives the ratios paired within each round (their median),
// which a slow spell spanning a whole round leaves alone. The C interface
// (quillet_player_read_picture, automatic threads) runs in each round too:
// its pictures per second over the facade's is its overhead (target >= 0.98).
//
//   bench_playback [--rounds N] [clip ...]
//     (default: 5 rounds over 1080p25 H.264 and H.265 clips of 600 pictures generated on the spot)
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "decode/DecoderThreads.h"
#include "facade/FFWrapper.h"
#include "quillet.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

const std::string kPattern = "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 24 -pix_fmt yuv420p ";

std::vector<std::string> Clips(const std::vector<std::string>& named, char** argv)
{
    if (!named.empty())
        return named;
    return {Bench::ClipFromArgs(1, argv, "bench_1080p_600.mp4", kPattern + "-c:v libx264 -preset veryfast -bf 2 -g 50"),
            Bench::ClipFromArgs(1, argv, "bench_1080p_600_hevc.mp4",
                                kPattern + "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=50 "
                                           "-tag:v hvc1")};
}

// Pictures per second through the facade, and the number of pictures.
std::pair<double, int> FacadeRun(const std::string& clip, int threads)
{
    FFWrapperCLI::FFWrapper player("bench");
    player.SetDecodingThreads(threads);
    player.EnableAudio(false);
    if (!player.OpenSource(clip))
        throw std::runtime_error("cannot open " + clip);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    FFWrapperCLI::FrameData frame;
    const auto start = Clock::now();
    player.StartEngine();
    int pictures = 0;
    for (int n; (n = player.ReadFrameGetSize(&frame)) >= 0;) {
        if (n > 0)
            ++pictures;
        else
            std::this_thread::yield();
    }
    const double s = Seconds(Clock::now() - start);
    player.CloseSource();
    return {pictures / s, pictures};
}

// Pictures per second through the C interface's blocking read, as FacadeRun.
double CApiRun(const std::string& clip, int threads)
{
    quillet_player* player = quillet_player_create("bench");
    quillet_player_set_decoding_threads(player, threads);
    quillet_player_enable_audio(player, 0);
    if (quillet_player_open(player, clip.c_str()) != QUILLET_OK) {
        quillet_player_destroy(player);
        throw std::runtime_error("cannot open " + clip);
    }
    quillet_player_set_pixel_format(player, QUILLET_PIXEL_BGR24);
    const auto start = Clock::now();
    quillet_player_start(player);
    int pictures = 0, status;
    quillet_picture picture{};
    while ((status = quillet_player_read_picture(player, &picture, 10000)) == QUILLET_OK)
        ++pictures;
    const double s = Seconds(Clock::now() - start);
    quillet_player_destroy(player);
    if (status != QUILLET_END)
        throw std::runtime_error(std::string("C interface read: ") + quillet_status_name(status));
    return pictures / s;
}

// The ffmpeg tool decoding the clip, to bgr24 or, for `decodeOnly`, to
// nothing: the decode-only figure is the ceiling any player reaches with
// that many threads on this machine.
double ToolRun(const std::string& clip, int threads, int pictures, bool decodeOnly = false)
{
    const std::string output = decodeOnly ? "-f null -" : "-f rawvideo -pix_fmt bgr24 -y /dev/null";
    const std::string cmd = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + " -i '" + clip +
                            "' -an -fps_mode passthrough " + output;
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed");
    return pictures / Seconds(Clock::now() - start);
}

// OpenCV's VideoCapture reading every picture (BGR), timed inside Python so
// interpreter start-up does not count; 0 when OpenCV is not installed.
double OpenCvRun(const std::string& clip)
{
    const std::string script = "import cv2,time,sys\n"
                               "c=cv2.VideoCapture(sys.argv[1]);n=0;t=time.perf_counter()\n"
                               "while c.read()[0]: n+=1\n"
                               "print(n/(time.perf_counter()-t))\n";
    const std::string cmd = "/usr/bin/python3 -c '" + script + "' '" + clip + "' 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe)
        return 0.0;
    char line[128] = {};
    const bool got = fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    return got ? std::atof(line) : 0.0;
}

void Report(const std::string& name, double pps, double reference)
{
    std::cout << "  " << std::left << std::setw(34) << name << std::right << std::setw(8) << std::fixed
              << std::setprecision(1) << pps << " pictures/s";
    if (reference > 0 && pps > 0)
        std::cout << "   auto threads / this: " << std::setprecision(2) << reference / pps;
    std::cout << "\n";
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median over the rounds of automatic[i] / peer[i].
double PairedRatio(const std::vector<double>& automatic, const std::vector<double>& peer)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < automatic.size() && i < peer.size(); ++i)
        if (peer[i] > 0)
            ratios.push_back(automatic[i] / peer[i]);
    return ratios.empty() ? 0.0 : Median(ratios);
}

void BenchClip(const std::string& clip, int rounds)
{
    ToolRun(clip, 0, 1); // warm the file cache
    int pictures = 0;
    std::vector<double> one, automatic, capi, tool1, tool0, ceiling, opencv;
    const int automaticThreads = DecoderThreads::AutomaticFrameThreads();
    for (int round = 0; round < rounds; ++round) {
        const auto single = FacadeRun(clip, 1);
        pictures = single.second;
        one.push_back(single.first);
        automatic.push_back(FacadeRun(clip, 0).first);
        capi.push_back(CApiRun(clip, 0));
        tool1.push_back(ToolRun(clip, 1, pictures));
        tool0.push_back(ToolRun(clip, 0, pictures));
        ceiling.push_back(ToolRun(clip, automaticThreads, pictures, true));
        opencv.push_back(OpenCvRun(clip));
    }
    const double reference = Median(automatic);
    std::cout << "clip: " << clip << ", " << pictures << " pictures, " << std::thread::hardware_concurrency()
              << " cores, median of " << rounds << " interleaved rounds\n";
    Report("facade to BGR24, 1 thread", Median(one), reference);
    Report("facade to BGR24, automatic threads", reference, 0);
    Report("C interface to BGR24, automatic threads", Median(capi), reference);
    Report("ffmpeg -threads 1 to bgr24", Median(tool1), reference);
    Report("ffmpeg -threads 0 to bgr24", Median(tool0), reference);
    Report("ffmpeg -threads " + std::to_string(automaticThreads) + " decode only (ceiling)", Median(ceiling),
           reference);
    if (Median(opencv) > 0)
        Report("OpenCV VideoCapture (BGR)", Median(opencv), reference);
    else
        std::cout << "  OpenCV VideoCapture: not installed (python3-opencv)\n";
    std::cout << "  paired within rounds, auto threads / ffmpeg -threads 1: " << std::setprecision(2)
              << PairedRatio(automatic, tool1) << ", / -threads 0: " << PairedRatio(automatic, tool0);
    if (Median(opencv) > 0)
        std::cout << ", / OpenCV: " << PairedRatio(automatic, opencv);
    std::cout << "\n  paired within rounds, C interface / facade (automatic threads): " << PairedRatio(capi, automatic)
              << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    try {
        av_log_set_level(AV_LOG_ERROR);
        int rounds = 5;
        std::vector<std::string> named;
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == "--rounds" && i + 1 < argc)
                rounds = std::max(1, std::atoi(argv[++i]));
            else
                named.push_back(argv[i]);
        }
        for (const auto& clip : Clips(named, argv))
            BenchClip(clip, rounds);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_playback: " << e.what() << "\n";
        return 1;
    }
}

// CPU spent publishing one 1080p source by stream copy to 1, 4 and 16
// outputs at once, side by side with `ffmpeg -c copy -f tee` writing the same
// outputs. Outputs are HLS playlists with MPEG-TS segments (the same muxers
// SRT and the HLS folder use) in scratch folders, so no receiver's CPU is
// counted and no network pacing hides work. Neither side paces to real time.
//
//   bench_publish [clip]    (default: a 20 s 1080p H.264 + AAC clip generated on the spot)
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "publish/PublishSink.h"
#include "source/FFSource.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace Quillet;

namespace {

constexpr double kClipSeconds = 20.0;

double CpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Folder(const std::string& side, int outputs, int i)
{
    return "bench_publish_out/" + side + std::to_string(outputs) + "_" + std::to_string(i);
}

std::string Playlist(const std::string& folder)
{
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder + "/live.m3u8";
}

double PublishWithLibrary(const std::string& clip, int outputs)
{
    const double before = CpuSeconds(RUSAGE_SELF);
    FFSource source;
    if (!source.OpenSource(clip))
        throw std::runtime_error("cannot open " + clip);
    std::vector<std::unique_ptr<PublishSink>> sinks;
    for (int i = 0; i < outputs; ++i) {
        auto target = PublishTarget::FromUrl(Playlist(Folder("lib", outputs, i)) + "?window=5&time=2");
        sinks.push_back(std::make_unique<PublishSink>(target, false, false));
        sinks.back()->Start();
        source.ConnectNode(sinks.back().get());
    }
    source.StartReadThread();
    for (auto& sink : sinks)
        while (sink->Status().state != PublishState::Finished)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    source.StopReadThread();
    source.DisconnectNode();
    for (auto& sink : sinks)
        sink->Stop();
    source.CloseSource();
    return CpuSeconds(RUSAGE_SELF) - before;
}

double PublishWithTool(const std::string& clip, int outputs)
{
    std::string tee;
    for (int i = 0; i < outputs; ++i) {
        tee += (i ? "|" : "");
        tee += "[f=hls:hls_time=2:hls_list_size=5:hls_delete_threshold=1:"
               "hls_flags=delete_segments+independent_segments]" +
               Playlist(Folder("tool", outputs, i));
    }
    const double before = CpuSeconds(RUSAGE_CHILDREN);
    const std::string cmd = "ffmpeg -nostdin -v error -y -i '" + clip + "' -map 0 -c copy -f tee '" + tee + "'";
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed: " + cmd);
    return CpuSeconds(RUSAGE_CHILDREN) - before;
}

} // namespace

int main(int argc, char** argv)
{
    av_log_set_level(AV_LOG_ERROR);
    try {
        const std::string clip = Bench::ClipFromArgs(
            argc, argv, "bench_publish_1080p_20s.mp4",
            "-f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 "
            "-c:v libx264 -preset ultrafast -b:v 8M -bf 2 -g 60 -pix_fmt yuv420p -c:a aac");
        std::cout << "Publishing " << clip << " (stream copy, HLS/MPEG-TS outputs)\n"
                  << "outputs  library CPU s  ffmpeg tee CPU s  library/ffmpeg  library CPU % per stream\n";
        for (int outputs : {1, 4, 16}) {
            const double tool = PublishWithTool(clip, outputs);
            const double library = PublishWithLibrary(clip, outputs);
            const double perStream = 100.0 * library / (outputs * kClipSeconds);
            std::printf("%7d  %13.3f  %16.3f  %14.2f  %23.3f\n", outputs, library, tool, library / tool, perStream);
        }
        std::filesystem::remove_all("bench_publish_out");
    } catch (const std::exception& e) {
        std::cerr << "bench_publish: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

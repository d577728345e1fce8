// Recording throughput by stream copy through the recording engine (no
// decoding: the source feeds only the recording sink), side by side with
// `ffmpeg -c copy` of the same clip into the same container.
//
//   bench_recording [clip]    (default: a 60 s 720p H.264 + AAC clip generated on the spot)
//
// The engine run ends when the sink has closed the file at the end of
// stream: IsVideoSave reports neither a file being written nor one waiting.
// That is the moment the file is complete on disk, as it is when the tool
// exits, so both figures cover the same work.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "engine/FFFileEngine.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

std::string EnsureClip(int argc, char** argv)
{
    return Bench::ClipFromArgs(argc, argv, "bench_rec_720p_60s.mp4",
                                "-f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                                "-t 60 -c:v libx264 -preset ultrafast -b:v 6M -bf 2 -g 60 -pix_fmt yuv420p -c:a aac");
}

std::string Run(const std::string& cmd)
{
    std::string out;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + cmd);
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    pclose(pipe);
    return out;
}

// Packets of all streams in `file`, as ffprobe counts them.
long CountPackets(const std::string& file)
{
    const std::string out = Run("ffprobe -v error -show_entries stream=nb_read_packets -count_packets "
                                "-of csv=p=0 '" + file + "'");
    long total = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(pos, end - pos);
        if (!line.empty())
            total += std::stol(line);
        pos = end + 1;
    }
    return total;
}

// Seconds from starting the engine until the recorded file is closed.
double EngineRun(const std::string& clip, const std::string& out)
{
    std::filesystem::remove(out);
    FFFileEngine engine("bench");
    if (!engine.OpenSource(clip))
        throw std::runtime_error("engine cannot open " + clip);
    engine.SaveToVideoFile(out);
    const auto start = Clock::now();
    if (!engine.StartEngine())
        throw std::runtime_error("engine cannot start");
    bool started = false;
    const auto deadline = start + std::chrono::minutes(5);
    for (;;) {
        bool pending = false;
        const bool writing = engine.IsVideoSave(&pending);
        started = started || writing;
        if (started && !writing && !pending)
            break;
        if (Clock::now() > deadline)
            throw std::runtime_error("recording did not end");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double s = Seconds(Clock::now() - start);
    engine.StopEngine();
    engine.CloseSource();
    return s;
}

double ToolRun(const std::string& clip, const std::string& out)
{
    const std::string cmd = "ffmpeg -nostdin -v error -y -i '" + clip + "' -map 0 -c copy '" + out + "'";
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed");
    return Seconds(Clock::now() - start);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        av_log_set_level(AV_LOG_ERROR);
        const std::string clip = EnsureClip(argc, argv);
        const std::string engineOut = "bench_rec_engine.mp4", toolOut = "bench_rec_tool.mp4";
        ToolRun(clip, toolOut); // warm the file cache
        const double mb = static_cast<double>(std::filesystem::file_size(clip)) / 1e6;
        // Best of three for each, alternating, so neither side gets a quieter machine.
        double engineS = 1e9, toolS = 1e9;
        for (int i = 0; i < 3; ++i) {
            engineS = std::min(engineS, EngineRun(clip, engineOut));
            toolS = std::min(toolS, ToolRun(clip, toolOut));
        }
        const long enginePackets = CountPackets(engineOut), toolPackets = CountPackets(toolOut);
        std::cout << "clip: " << clip << ", " << mb << " MB\n"
                  << "engine stream copy to mp4: " << engineS << " s, " << mb / engineS << " MB/s, "
                  << enginePackets / engineS << " packets/s (" << enginePackets << " packets)\n"
                  << "ffmpeg -c copy to mp4:     " << toolS << " s, " << mb / toolS << " MB/s, "
                  << toolPackets / toolS << " packets/s (" << toolPackets << " packets)\n"
                  << "ratio engine / ffmpeg:     " << toolS / engineS << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_recording: " << e.what() << "\n";
        return 1;
    }
}

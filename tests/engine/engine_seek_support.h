#pragma once
// Shared by the engine seek and audio tests: the ffmpeg tool's decode of a
// clip as the oracle (pictures by time, PCM, packet times), and small
// polling helpers around an FFEngine.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "engine/FFEngine.h"
#include "support/TestMedia.h"

namespace EngineSeekTest {

using namespace std::chrono_literals;

inline std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<double> ParseTimes(const std::string& csv)
{
    std::istringstream in(csv);
    std::vector<double> times;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line.rfind("N/A", 0) != 0)
            times.push_back(std::stod(line));
    return times;
}

// Every picture of the clip as the ffmpeg tool decodes it (full decode, no
// seeking), with its presentation time.
struct ReferencePictures {
    std::vector<double> times;
    std::vector<std::vector<uint8_t>> pixels;

    explicit ReferencePictures(const std::string& clip, size_t pictureBytes)
    {
        times = ParseTimes(Quillet::Testing::Capture(
            "ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 " + clip));
        const std::string out = clip + "." + std::to_string(getpid()) + ".bgr24";
        Quillet::Testing::Run("ffmpeg -nostdin -v error -y -threads 1 -i " + clip +
                              " -fps_mode passthrough -f rawvideo -pix_fmt bgr24 " + out);
        const auto all = ReadBytes(out);
        std::remove(out.c_str());
        for (size_t at = 0; at + pictureBytes <= all.size(); at += pictureBytes)
            pixels.emplace_back(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(at + pictureBytes));
    }

    // Index of the first picture at or after `t`, or -1 past the end.
    int AtOrAfter(double t) const
    {
        for (size_t i = 0; i < times.size(); ++i)
            if (times[i] >= t - 1e-6)
                return static_cast<int>(i);
        return -1;
    }
};

inline int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 1000;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

struct Shown {
    int size = 0;
    int status = 0;
    double time = -1.0;
    bool first = false;
    std::vector<uint8_t> pixels;
};

inline Shown Take(const Quillet::FFCLIFrame& f)
{
    Shown s;
    s.size = f.size;
    s.status = f.status;
    if (f.size > 0 && f.frame) {
        s.time = f.frame->GetFrameTime();
        s.first = f.frame->GetFirstFrame();
        s.pixels.resize(static_cast<size_t>(f.size));
        f.frame->CopyFrame(s.pixels.data());
    }
    return s;
}

// Reads until a picture (or the end marker) comes; size 0 when none came in time.
template <typename Engine>
Shown NextPicture(Engine& engine, std::chrono::milliseconds limit = 10000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Shown last;
    while (std::chrono::steady_clock::now() < deadline) {
        last = Take(engine.ReadVideo());
        if (last.size != 0)
            return last;
        std::this_thread::sleep_for(2ms);
    }
    return last;
}

} // namespace EngineSeekTest

// How fresh the pictures of a live camera stay, and how much of it is
// recorded, when the application reads slower than the camera sends. The
// recording facade plays the RTSP test camera's /test mount (25 fps, a key
// picture each second) and records it to MKV while the application reads one
// picture every 40, 100 or 500 ms, with each live-reading policy; then a
// reader that stalls for the whole run and resumes. Beside each paced row
// OpenCV's VideoCapture reads the same mount at the same pace at the same
// time (bench/live_opencv.py).
//
//   bench_live [seconds per row (30)]
//
// A picture's age: (wall time at the read - picture time) minus the smallest
// such difference of the row, i.e. how much later than the freshest picture
// seen it was handed out; the same measure for both. "recorded" is the
// recorded file's video span over the seconds the recording ran.
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "camera/RtspTestServer.h"
#include "facade/FFFileWrapper.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using Quillet::Bench::Clock;
using Quillet::Bench::Seconds;

namespace {

double RssMegabytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0.0;
}

std::string Run(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 256> buffer{};
        while (fgets(buffer.data(), buffer.size(), pipe))
            out += buffer.data();
        pclose(pipe);
    }
    return out;
}

// Seconds between the first and the last video packet of a recorded file.
double RecordedSeconds(const std::string& file)
{
    const std::string times =
        Run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" + file + "'");
    double first = -1, last = -1;
    std::istringstream lines(times);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line == "N/A")
            continue;
        const double t = std::stod(line);
        first = first < 0 ? t : first;
        last = std::max(last, t);
    }
    return first < 0 ? 0.0 : last - first;
}

struct Row {
    int paceMs;
    LiveReading reading;
    double stallSeconds = 0; // read 5 s, stall this long, read 5 s
};

struct Figures {
    double medianAge = 0, worstAge = 0, recorded = 0, run = 0, rss = 0, rssGrowth = 0, firstAgeAfterStall = -1;
    uint64_t shown = 0, missed = 0;
};

Figures Measure(const std::string& url, const Row& row, double seconds, const std::filesystem::path& dir)
{
    Figures f;
    const double rssBefore = RssMegabytes();
    FFFileWrapper player("bench_live");
    player.SetLiveReading(row.reading);
    if (!player.OpenSource(url)) {
        std::cerr << "bench_live: cannot open " << url << "\n";
        return f;
    }
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    const std::string file = (dir / "live.mkv").string();
    std::filesystem::remove(file);
    player.SaveToVideoFile(file);
    const auto started = Clock::now();
    player.StartEngine();

    FrameData frame;
    std::vector<double> lags;
    auto readFor = [&](double span) {
        for (const auto end = Clock::now() + std::chrono::duration<double>(span); Clock::now() < end;) {
            const auto next = Clock::now() + std::chrono::milliseconds(row.paceMs);
            if (player.ReadFrameGetSize(&frame) > 0) {
                ++f.shown;
                lags.push_back(Seconds(Clock::now() - started) - frame.frameTime);
            }
            std::this_thread::sleep_until(next);
        }
    };
    if (row.stallSeconds > 0) {
        readFor(5);
        const double rssAtStall = RssMegabytes();
        std::this_thread::sleep_for(std::chrono::duration<double>(row.stallSeconds));
        f.rssGrowth = RssMegabytes() - rssAtStall;
        const size_t before = lags.size();
        readFor(5);
        if (lags.size() > before)
            f.firstAgeAfterStall = lags[before]; // made relative below
    } else {
        readFor(seconds);
        f.rssGrowth = RssMegabytes() - rssBefore;
    }
    f.run = Seconds(Clock::now() - started);
    f.rss = RssMegabytes();
    player.StopVideoSave();
    f.missed = player.GetMissedPictures();
    player.StopEngine();
    player.CloseSource();
    f.recorded = RecordedSeconds(file);

    if (!lags.empty()) {
        const double fresh = *std::min_element(lags.begin(), lags.end());
        std::vector<double> ages;
        for (double lag : lags)
            ages.push_back(lag - fresh);
        if (f.firstAgeAfterStall >= 0)
            f.firstAgeAfterStall -= fresh;
        std::sort(ages.begin(), ages.end());
        f.medianAge = ages[ages.size() / 2];
        f.worstAge = ages.back();
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::stod(argv[1]) : 30.0;
    av_log_set_level(AV_LOG_QUIET);
    if (!QuilletTest::RtspTestServer::Available()) {
        std::cerr << "bench_live: /usr/bin/python3 cannot load GStreamer's RTSP server\n";
        return 1;
    }
    QuilletTest::RtspTestServer server;
    if (!server.Start()) {
        std::cerr << "bench_live: " << server.Error() << "\n";
        return 1;
    }
    const std::string url = server.Url() + "/test";
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("bench_live_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string peer = std::string(QUILLET_BENCH_DIR) + "/live_opencv.py";

    std::cout << "bench_live: " << url << ", " << seconds << " s per row, ages in seconds\n"
              << std::left << std::setw(28) << "row" << std::setw(18) << "age median/worst" << std::setw(16)
              << "recorded/run s" << std::setw(12) << "missed" << std::setw(20) << "RSS MB (growth)"
              << "OpenCV age median/worst, RSS MB\n"
              << std::fixed << std::setprecision(2);
    std::vector<Row> rows;
    for (int pace : {40, 100, 500})
        for (LiveReading reading : {LiveReading::Newest, LiveReading::Every})
            rows.push_back({pace, reading});
    for (LiveReading reading : {LiveReading::Newest, LiveReading::Every})
        rows.push_back({40, reading, seconds});
    for (const Row& row : rows) {
        // The peer reads the same mount at the same pace at the same time.
        std::future<std::string> opencv;
        if (row.stallSeconds == 0)
            opencv = std::async(std::launch::async, [&] {
                return Run("/usr/bin/python3 '" + peer + "' '" + url + "' " + std::to_string(row.paceMs) + " " +
                           std::to_string(seconds) + " 2>/dev/null");
            });
        const Figures f = Measure(url, row, seconds, dir);
        std::string name = std::string(row.reading == LiveReading::Newest ? "newest" : "every") + " " +
                           std::to_string(row.paceMs) + " ms";
        if (row.stallSeconds > 0)
            name += ", stalled " + std::to_string(int(row.stallSeconds)) + " s";
        std::ostringstream age, recorded, rss;
        age << std::fixed << std::setprecision(2) << f.medianAge << " / " << f.worstAge;
        recorded << std::fixed << std::setprecision(1) << f.recorded << " / " << f.run;
        rss << std::fixed << std::setprecision(1) << f.rss << " (" << std::showpos << f.rssGrowth << ")";
        std::cout << std::setw(28) << name << std::setw(18) << age.str() << std::setw(16) << recorded.str()
                  << std::setw(12) << f.missed << std::setw(20) << rss.str();
        if (opencv.valid()) {
            std::istringstream peerLine(opencv.get());
            std::string tag;
            double median = 0, worst = 0, peerRss = 0;
            int pictures = 0;
            if (peerLine >> tag >> median >> worst >> pictures >> peerRss && tag == "opencv")
                std::cout << median << " / " << worst << ", " << std::setprecision(1) << peerRss << std::setprecision(2);
            else
                std::cout << "(OpenCV did not run: apt-get install python3-opencv)";
        } else {
            std::cout << "first picture after the stall: " << f.firstAgeAfterStall << " s old";
        }
        std::cout << std::endl;
    }
    std::filesystem::remove_all(dir);
    return 0;
}

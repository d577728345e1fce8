// How many cameras one machine records (and one of them shows) at once: K
// connections to one mount of the RTSP test camera (1080p H.264 + AAC), each
// recorded by stream copy into its own file, one also decoded to BGR for
// display. For K = 1, 8, 32 and then more until the machine falls behind, it
// reports CPU per camera (process CPU time / wall time / K, with and without
// the display decode), RSS per camera (process RSS / K, and what the cameras
// added to the process), and whether every camera received
// every video packet in real time. For the shown camera it also reports the
// time from a video packet's arrival in the camera client (the moment the
// client read it off the network) to its picture in the application's hands
// (p50, p99): the display thread sleeps until the decoder takes a record and
// reads at once, so the figure is the library's and not the bench's pace.
//
//   bench_cameras [seconds per step (15)] [largest K to try (256)]
//
// A camera holds real time when, in the measured window, it received at least
// 98% of the pictures the camera sends (25 per second) and FFmpeg's RTP reader
// reported no missed packet.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BenchSupport.h"
#include "camera/IRTSPClient.h"
#include "camera/RtspTestServer.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

constexpr int kFps = 25;

// FFmpeg's RTP reader warns of every sequence gap ("RTP: missed N packets").
std::atomic<int> gMissedReports{0};

void CountMissedPackets(void*, int level, const char* format, va_list args)
{
    if (level > AV_LOG_WARNING)
        return;
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    if (std::strstr(line, "missed") || std::strstr(line, "dropping"))
        ++gMissedReports;
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double RssMegabytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0.0;
}

int64_t WallMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// The packet a camera source's thread read last from its client: its RTP time
// and when the client received it. The source pushes it on the same thread
// right after the read, so the counter below finds it there.
struct LastRead {
    int64_t timestamp = 0;
    int64_t receivedUs = 0;
};
thread_local LastRead tLastRead;

// The real camera client, noting on the reading thread what each packet it
// hands out is and when it arrived.
class NotingClient : public IRTSPClient {
public:
    NotingClient() : _inner(MakeRTSPSource()) {}
    void SetupSource(RTSPSourceSettings& settings) override { _inner->SetupSource(settings); }
    bool Connect(const std::string& url) override { return _inner->Connect(url); }
    ConnectFailure LastConnectFailure() const override { return _inner->LastConnectFailure(); }
    bool Close() override { return _inner->Close(); }
    bool IsRunning() override { return _inner->IsRunning(); }
    std::shared_ptr<MediaPacketStruct> ReadFrame() override
    {
        auto packet = _inner->ReadFrame();
        if (packet && packet->timing)
            tLastRead = {packet->timing->timestamp, packet->timing->receivedUTC / 10};
        return packet;
    }
    bool WaitForPacket(std::chrono::steady_clock::time_point deadline) override
    {
        return _inner->WaitForPacket(deadline);
    }
    void WakeWaiter() override { _inner->WakeWaiter(); }
    std::unique_ptr<MediaInfoStruct> GetVideoInfo() const override { return _inner->GetVideoInfo(); }
    std::unique_ptr<MediaInfoStruct> GetAudioInfo() const override { return _inner->GetAudioInfo(); }

private:
    std::unique_ptr<IRTSPClient> _inner;
};

// Counts the video packets a camera source pushes, by arrival time, and
// remembers when each arrived in the client (by its RTP time).
class PacketCounter : public FFDestNode<FFData> {
public:
    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        if (record && record->GetType() == FFType::Packet &&
            static_cast<const FFPacket&>(*record).GetStreamType() == FFStreamType::Video) {
            const int64_t pts = static_cast<const FFPacket&>(*record).Get()->pts;
            std::lock_guard<std::mutex> guard(_mutex);
            _arrivals.push_back(Clock::now());
            if (tLastRead.timestamp == pts)
                _received[pts] = tLastRead.receivedUs;
        }
        return FFStatus::Ready;
    }
    // When the packet of RTP time `pts` arrived in the client; 0 if unknown.
    int64_t ReceivedUs(int64_t pts) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        for (int64_t d : {0, -1, 1}) {
            auto it = _received.find(pts + d);
            if (it != _received.end())
                return it->second;
        }
        return 0;
    }
    int CountBetween(Clock::time_point from, Clock::time_point to) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        int n = 0;
        for (const auto& t : _arrivals)
            n += t >= from && t < to;
        return n;
    }

private:
    mutable std::mutex _mutex;
    std::vector<Clock::time_point> _arrivals;
    std::unordered_map<int64_t, int64_t> _received;
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[i];
}

// A recording engine that also lets the bench count what its source pushes.
class CountedCamera : public FFFileEngine {
public:
    CountedCamera() : FFFileEngine("bench-camera") {}
    void Attach(PacketCounter* counter)
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        if (_source)
            _source->ConnectNode(counter);
    }
    void Detach(PacketCounter* counter)
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        if (_source)
            _source->RemoveNode(counter);
    }
};

struct Camera {
    // Bumped each time the decoder takes a record; the display sleeps on it.
    // Declared first: the facade's threads may ring it until the facade goes.
    std::mutex arrivalMutex;
    std::condition_variable arrived;
    uint64_t arrivals = 0;
    CountedCamera* engine = nullptr; // owned by the facade
    std::unique_ptr<FFWrapperCLI::FFFileWrapper> facade;
    PacketCounter counter;
    bool started = false;
};

struct Step {
    int cameras = 0;
    double cpuPerCamera = 0, recordCpuPerCamera = 0, rssPerCamera = 0, rssGrowthPerCamera = 0, rss = 0;
    int worstPictures = 0, bestPictures = 0, expected = 0, missed = 0, shown = 0;
    double latencyP50Ms = 0, latencyP99Ms = 0;
    size_t latencies = 0;
    bool realTime = false;
};

void Connect(Camera& c, const std::string& url, const std::string& file, bool show)
{
    c.engine = new CountedCamera();
    c.facade = std::make_unique<FFWrapperCLI::FFFileWrapper>(c.engine);
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = true;
    c.engine->SetSourceSettingsForCamera(settings);
    if (!c.facade->OpenSource(url))
        return;
    c.engine->Attach(&c.counter);
    c.facade->SaveToVideoFile(file);
    if (show) {
        c.engine->SetArrivalNotice([&c] {
            {
                std::lock_guard<std::mutex> guard(c.arrivalMutex);
                ++c.arrivals;
            }
            c.arrived.notify_one();
        });
        c.facade->DecodeVideo(AV_PIX_FMT_BGR24);
    }
    c.started = c.facade->StartEngine();
}

// `rssAtStart`: the process before any camera was made.
Step RunStep(const std::string& url, int k, double seconds, const std::filesystem::path& dir, double rssAtStart)
{
    Step s;
    s.cameras = k;
    std::vector<std::unique_ptr<Camera>> cameras;
    for (int i = 0; i < k; ++i)
        cameras.push_back(std::make_unique<Camera>());
    {
        // Connect in parallel, eight at a time, as a recorder starting up would.
        std::vector<std::thread> connecting;
        for (int i = 0; i < k; ++i) {
            connecting.emplace_back(Connect, std::ref(*cameras[i]), url, (dir / ("cam" + std::to_string(i) + ".mp4")).string(),
                                    i == 0);
            if (connecting.size() == 8 || i == k - 1) {
                for (auto& t : connecting)
                    t.join();
                connecting.clear();
            }
        }
    }
    // Camera 0 is also shown: its pictures are read into the application's buffer.
    std::atomic<bool> stop{false};
    std::atomic<double> showCpu{0};
    std::atomic<int> shown{0};
    std::atomic<bool> measuring{false};
    std::vector<double> latencies; // the display thread's until it is joined
    std::thread display([&] {
        FFWrapperCLI::FrameData frame;
        Camera& c = *cameras[0];
        double cpuAtStart = -1;
        uint64_t seen = 0;
        while (!stop) {
            if (cpuAtStart < 0 && shown > 0)
                cpuAtStart = ThreadCpuSeconds();
            if (c.facade->ReadFrameGetSize(&frame) > 0) {
                const int64_t now = WallMicroseconds();
                ++shown;
                const int64_t received = c.counter.ReceivedUs(std::llround(frame.frameTime * 90000.0));
                if (measuring && received > 0)
                    latencies.push_back((now - received) / 1000.0);
            } else {
                std::unique_lock<std::mutex> guard(c.arrivalMutex);
                c.arrived.wait_for(guard, std::chrono::milliseconds(100), [&] { return c.arrivals != seen; });
                seen = c.arrivals;
            }
            if (cpuAtStart >= 0)
                showCpu = ThreadCpuSeconds() - cpuAtStart;
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3)); // every connection settles
    const int missedBefore = gMissedReports;
    const double cpuBefore = CpuSeconds(), showBefore = showCpu;
    const int shownBefore = shown;
    const auto from = Clock::now();
    measuring = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    measuring = false;
    const auto to = Clock::now();
    const double wall = Seconds(to - from);
    const double cpu = CpuSeconds() - cpuBefore, decodeCpu = showCpu - showBefore;
    s.rss = RssMegabytes();
    s.shown = shown - shownBefore;
    s.missed = gMissedReports - missedBefore;
    stop = true;
    display.join();
    s.latencies = latencies.size();
    s.latencyP50Ms = Percentile(latencies, 0.50);
    s.latencyP99Ms = Percentile(latencies, 0.99);

    s.expected = static_cast<int>(wall * kFps);
    s.worstPictures = s.expected * 10;
    bool allStarted = true;
    for (auto& c : cameras) {
        allStarted = allStarted && c->started;
        const int n = c->counter.CountBetween(from, to);
        s.worstPictures = std::min(s.worstPictures, n);
        s.bestPictures = std::max(s.bestPictures, n);
    }
    s.cpuPerCamera = cpu / wall / k;
    s.recordCpuPerCamera = (cpu - decodeCpu) / wall / k;
    // Everything the process holds, shared parts and the display decode
    // included, charged to the cameras; and only what they added.
    s.rssPerCamera = s.rss / k;
    s.rssGrowthPerCamera = (s.rss - rssAtStart) / k;
    s.realTime = allStarted && s.missed == 0 && s.worstPictures >= 0.98 * s.expected;
    for (auto& c : cameras) {
        c->engine->Detach(&c->counter);
        c->facade->StopVideoSave();
        c->facade->CloseSource();
    }
    cameras.clear();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return s;
}

void Print(const Step& s)
{
    std::cout << std::fixed << std::setprecision(2) << "K=" << std::setw(3) << s.cameras
              << "  CPU/camera " << std::setw(5) << 100 * s.cpuPerCamera << "% of a core"
              << " (recording only " << std::setw(5) << 100 * s.recordCpuPerCamera << "%)"
              << "  RSS/camera " << std::setw(6) << s.rssPerCamera << " MB (added " << s.rssGrowthPerCamera
              << " MB, process " << std::setprecision(0) << s.rss << " MB)  pictures/camera " << s.worstPictures << ".." << s.bestPictures << " of " << s.expected
              << "  missed " << s.missed << "  shown " << s.shown << "  " << (s.realTime ? "real time" : "FELL BEHIND")
              << std::setprecision(1) << "  arrival to picture p50 " << s.latencyP50Ms << " ms p99 " << s.latencyP99Ms
              << " ms (" << s.latencies << " pictures)" << std::endl;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
    const int largest = argc > 2 ? std::atoi(argv[2]) : 256;
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(CountMissedPackets);
    SetRTSPClientFactory([] { return std::make_unique<NotingClient>(); });
    if (!QuilletTest::RtspTestServer::Available()) {
        std::cout << "bench_cameras: the RTSP test camera (GStreamer's RTSP server for /usr/bin/python3) is missing\n";
        return 0;
    }
    QuilletTest::RtspTestServer server;
    if (!server.Start({"--width", "1920", "--height", "1080", "--bitrate", "4000"})) {
        std::cerr << "bench_cameras: " << server.Error() << "\n";
        return 1;
    }
    const std::string url = server.Url() + "/test";
    const std::filesystem::path dir = std::filesystem::absolute("bench_cameras_out");
    std::filesystem::create_directories(dir);
    std::cout << "camera: " << url << " (1080p25 H.264 4 Mbit/s + AAC), " << seconds << " s per step, "
              << std::thread::hardware_concurrency() << " cores\n";
    const double rssAtStart = RssMegabytes();
    int held = 0;
    for (int k : {1, 8, 32, 64, 128, 192, 256}) {
        if (k > largest)
            break;
        const Step s = RunStep(url, k, seconds, dir, rssAtStart);
        Print(s);
        if (!s.realTime && k > 32)
            break;
        if (s.realTime)
            held = k;
    }
    std::cout << "largest K held in real time with no lost packet: " << held << "\n";
    std::filesystem::remove_all(dir);
    return 0;
}

// The camera source against a real RTSP server on 127.0.0.1 (GStreamer's,
// spawned per test): playing over TCP and UDP through the player facade,
// recording with sync points whose wall-clock times match when the packets
// really arrived, a camera killed and restarted under a running recording,
// and cameras that refuse or hang.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <unistd.h>

#include "camera/RtspTestServer.h"
#include "camera/camera_source_support.h"
#include "engine/FFEngine.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"
#include "facade/FFServingWrappers.h"
#include "facade/FFWrapper.h"
#include "source/FFRTSPSource.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace CameraSourceTest;
using namespace Quillet::FFWrapperCLI;
using Quillet::Testing::Capture;
using QuilletTest::RtspTestServer;

namespace {

constexpr int64_t kTicksPerMs = 10000;

// Notes when each packet the source pushed arrived, and where connections
// began again.
class ArrivalProbe : public FFDestNode<FFData> {
public:
    struct Arrival {
        int64_t arrivedTicks;
        int64_t liveTime;
        bool liveFlag;
        bool key;
        bool hasDts;
        int segment;
    };

    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (record && record->GetType() == FFType::ConnectionInfo &&
            static_cast<const FFConnectionInfo&>(*record).status == Quillet::ConnectionStatus::Connected)
            ++_segment;
        if (!record || record->GetType() != FFType::Packet)
            return FFStatus::Ready;
        const auto& p = static_cast<const FFPacket&>(*record);
        if (p.GetStreamType() != FFStreamType::Video)
            return FFStatus::Ready;
        _arrivals.push_back({NowTicks(), p.liveTime, p.liveFlag, (p.Get()->flags & AV_PKT_FLAG_KEY) != 0,
                             p.Get()->dts != AV_NOPTS_VALUE, _segment});
        return FFStatus::Ready;
    }
    std::vector<Arrival> Arrivals() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _arrivals;
    }
    bool AnyLive() const
    {
        for (const auto& a : Arrivals())
            if (a.liveFlag)
                return true;
        return false;
    }

private:
    mutable std::mutex _mutex;
    std::vector<Arrival> _arrivals;
    int _segment = 0;
};

// A recording engine that lets a probe watch its source and retries a lost
// camera quickly.
class ProbedFileEngine : public FFFileEngine {
public:
    ProbedFileEngine(const std::string& log, std::chrono::milliseconds retry) : FFFileEngine(log), _retry(retry) {}

    void Attach(FFDestNode<FFData>* node)
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        if (_source)
            _source->ConnectNode(node);
    }

protected:
    std::unique_ptr<IFFSource> _CreateSource(const std::string& url) override
    {
        auto source = FFFileEngine::_CreateSource(url);
        if (auto* camera = dynamic_cast<FFRTSPSource*>(source.get()))
            camera->SetReconnectInterval(_retry);
        return source;
    }

private:
    std::chrono::milliseconds _retry;
};

std::shared_ptr<FFSourceSettings> TcpSettings(bool tcp)
{
    auto s = std::make_shared<FFSourceSettings>();
    s->streamUsingTCP = tcp;
    return s;
}

int VideoPacketsInFile(const std::string& file)
{
    const std::string out = Capture("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                    "stream=nb_read_packets -of csv=p=0 '" + file + "' 2>&1");
    // The count is the last line; the parser may warn ahead of it about a
    // camera's last access unit that the kill cut short.
    const size_t end = out.find_last_not_of("\r\n");
    const size_t begin = end == std::string::npos ? 0 : out.find_last_of('\n', end);
    int n = -1;
    return std::sscanf(out.c_str() + (begin == std::string::npos ? 0 : begin + 1), "%d", &n) == 1 ? n : -1;
}

int PortOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

class LiveCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        folder = "camera_source_live_" + std::to_string(getpid());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    void StartServer(std::vector<std::string> arguments = {})
    {
        ASSERT_TRUE(server.Start(arguments)) << server.Error();
    }

    RtspTestServer server;
    std::string folder;
};

// ------------------------------------------------------------------ playing

struct PlayCase {
    bool tcp;
    const char* mount;
    int rate;
    int channels;
};

void PrintTo(const PlayCase& c, std::ostream* os) { *os << (c.tcp ? "TCP " : "UDP ") << c.mount; }

class LivePlay : public LiveCamera, public ::testing::WithParamInterface<PlayCase> {};

TEST_P(LivePlay, PicturesAndAudioFormatOfTheCameraReachTheApplication)
{
    const PlayCase c = GetParam();
    StartServer();
    // The serving facade is the one that takes camera settings; without any
    // the player uses UDP.
    std::unique_ptr<FFWrapper> player;
    if (c.tcp) {
        auto serving = std::make_unique<FFFileServerWrapper>("camera_source_play");
        SourceSettings settings;
        settings.streamUsingTCP = true;
        serving->SetSourceSettings(settings);
        player = std::move(serving);
    } else {
        player = std::make_unique<FFWrapper>("camera_source_play");
    }
    Timeline events;
    player->RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            events.Add("message " + std::to_string(static_cast<int>(m->message)));
    }));
    ASSERT_TRUE(player->OpenSource(server.Url() + c.mount));
    EXPECT_EQ(player->Width(), 640);
    EXPECT_EQ(player->Height(), 480);
    int rate = 0, bits = 0, channels = 0;
    ASSERT_TRUE(player->GetAudioFormat(rate, bits, channels));
    EXPECT_EQ(rate, c.rate);
    EXPECT_EQ(channels, c.channels);
    EXPECT_DOUBLE_EQ(player->GetDuration(), 0.0);
    player->EnableAudio(false);
    player->DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(player->StartEngine());

    FrameData frame;
    int pictures = 0;
    double first = -1.0, last = -1.0;
    const auto end = Clock::now() + 2500ms;
    while (Clock::now() < end && pictures < 40) {
        const int size = player->ReadFrameGetSize(&frame);
        ASSERT_GE(size, 0) << "a live camera has no end";
        if (size == 0) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        ++pictures;
        EXPECT_EQ(size, 640 * 480 * 3);
        EXPECT_EQ(frame.width, 640);
        if (first < 0)
            first = frame.frameTime;
        EXPECT_GE(frame.frameTime, last) << "pictures come in time order";
        last = frame.frameTime;
    }
    player->StopEngine();
    player->CloseSource();
    EXPECT_GE(pictures, 25) << "about 25 pictures a second for well over a second";
    EXPECT_NEAR(last - first, (pictures - 1) / 25.0, 0.3) << "picture times follow the camera's clock";
    EXPECT_EQ(events.Count("0 RTSP connected"), 1u) << events.Text();
    EXPECT_EQ(events.Count("message 3"), 0u) << events.Text();
}

INSTANTIATE_TEST_SUITE_P(Transports, LivePlay,
                         ::testing::Values(PlayCase{true, "/test", 48000, 2}, PlayCase{false, "/test", 48000, 2},
                                           PlayCase{false, "/pcmu", 8000, 1}),
                         [](const auto& info) {
                             return std::string(info.param.tcp ? "Tcp" : "Udp") + (info.param.rate == 8000 ? "MuLaw" : "Aac");
                         });

// A player engine whose camera retries quickly.
class QuickRetryEngine : public FFEngine {
public:
    using FFEngine::FFEngine;

protected:
    std::unique_ptr<IFFSource> _CreateSource(const std::string& url) override
    {
        auto source = FFEngine::_CreateSource(url);
        if (auto* camera = dynamic_cast<FFRTSPSource*>(source.get()))
            camera->SetReconnectInterval(200ms);
        return source;
    }
};

TEST_F(LiveCamera, PlayingGoesOnAfterTheCameraRestartsAndTheDecoderReportsTheLoss)
{
    StartServer();
    const int port = PortOf(server.Url());
    FFWrapper player(new QuickRetryEngine("camera_source_replay"));
    Timeline events;
    player.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
    }));
    ASSERT_TRUE(player.OpenSource(server.Url() + "/video"));
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(player.StartEngine());
    FrameData frame;
    int pictures = 0;
    auto readFor = [&](std::chrono::milliseconds span) {
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            const int size = player.ReadFrameGetSize(&frame);
            ASSERT_GE(size, 0);
            if (size > 0)
                ++pictures;
            else
                std::this_thread::sleep_for(2ms);
        }
    };
    readFor(1000ms);
    EXPECT_GT(pictures, 10);
    server.Kill();
    readFor(500ms);
    StartServer({"--port", std::to_string(port)});
    const int beforeRestart = pictures;
    for (int i = 0; i < 50 && events.Count("0 RTSP connection reestablished") < 2; ++i)
        readFor(100ms);
    readFor(1000ms);
    player.StopEngine();
    player.CloseSource();
    EXPECT_GT(pictures - beforeRestart, 10) << "pictures of the restarted camera are shown";
    // Once from the source as it happens, once from the decoder as the
    // notice passes through the picture queue.
    EXPECT_GE(events.Count("2 RTSP connection lost, reconnection attempt 1"), 2u) << events.Text();
    EXPECT_EQ(events.Count("0 RTSP connection reestablished"), 2u) << events.Text();
}

// ------------------------------------------------------------------ recording

struct SyncPoint {
    int64_t pcTimeUs;
    bool isGood;
    std::string file;
};

TEST_F(LiveCamera, SyncPointsCarryTheArrivalWallClockOnceRtcpIsThereAndAreFlaggedUntrustedBefore)
{
    StartServer();
    ArrivalProbe probe;
    auto* engine = new ProbedFileEngine("camera_source_sync", FFRTSPSource::kReconnectInterval);
    engine->SetSourceSettingsForCamera(TcpSettings(true));
    FFFileWrapper recorder(engine);
    std::mutex pointsLock;
    std::vector<SyncPoint> points;
    recorder.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e)) {
            using namespace std::chrono;
            std::lock_guard<std::mutex> guard(pointsLock);
            points.push_back({duration_cast<microseconds>(s->PCTimeUTC.time_since_epoch()).count(), s->isGood,
                              s->fileName});
        }
    }));
    ASSERT_TRUE(recorder.OpenSource(server.Url() + "/test"));
    engine->Attach(&probe);
    const std::string first = folder + "/sync.mp4";
    const std::string second = folder + "/sync2.mp4";
    recorder.SaveToVideoFile(first);
    ASSERT_TRUE(recorder.StartEngine());
    // The first sender report comes some seconds into the session.
    ASSERT_TRUE(WaitFor([&] { return probe.AnyLive(); }, 10000ms)) << "no RTCP sender report";
    std::this_thread::sleep_for(1200ms); // past the next key picture
    recorder.SplitFile(second);
    std::this_thread::sleep_for(1500ms);
    recorder.StopVideoSave();
    recorder.StopEngine();
    recorder.CloseSource();

    ASSERT_GT(VideoPacketsInFile(first), 0);
    ASSERT_GT(VideoPacketsInFile(second), 0);
    const auto arrivals = probe.Arrivals();
    std::lock_guard<std::mutex> guard(pointsLock);
    ASSERT_GE(points.size(), 3u) << "start of each file and end of the first";
    ASSERT_FALSE(points.front().isGood) << "the first picture came before any sender report";
    int good = 0;
    for (const SyncPoint& point : points) {
        // The point's time is the wall-clock time of one video packet the
        // source pushed (the facade keeps microseconds).
        const ArrivalProbe::Arrival* match = nullptr;
        for (const auto& a : arrivals)
            if (a.liveTime / 10 == point.pcTimeUs)
                match = &a;
        ASSERT_NE(match, nullptr) << point.file << " " << point.pcTimeUs;
        EXPECT_EQ(point.isGood, match->liveFlag);
        if (point.isGood) {
            ++good;
            const int64_t lagMs = (match->arrivedTicks - match->liveTime) / kTicksPerMs;
            EXPECT_GE(lagMs, -5) << "a picture cannot arrive before it was taken";
            EXPECT_LT(lagMs, 100) << "wall-clock time agrees with this PC's clock at arrival";
        }
    }
    EXPECT_GE(good, 2) << "end of the first file and start of the second";
}

// Twenty kills and restarts; the source retries every 300 ms instead of
// every five seconds (the default pause is checked against the scripted
// camera), which keeps the run well under a minute.
TEST_F(LiveCamera, KilledAndRestartedCameraSplitsTheRecordingEveryTimeWithNothingLost)
{
    constexpr int kCycles = 20;
    StartServer();
    const int port = PortOf(server.Url());
    ArrivalProbe probe;
    auto* engine = new ProbedFileEngine("camera_source_restart", 300ms);
    engine->SetSourceSettingsForCamera(TcpSettings(true));
    FFFileWrapper recorder(engine);
    Timeline events;
    recorder.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            events.Add("message " + std::to_string(static_cast<int>(m->message)));
    }));
    ASSERT_TRUE(recorder.OpenSource(server.Url() + "/video"));
    engine->Attach(&probe);
    const std::string base = folder + "/cam.mp4";
    recorder.SaveToVideoFile(base);
    ASSERT_TRUE(recorder.StartEngine());

    auto packetsSoFar = [&] { return probe.Arrivals().size(); };
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        const size_t before = packetsSoFar();
        ASSERT_TRUE(WaitFor([&] { return packetsSoFar() >= before + 20; }, 5000ms)) << "cycle " << cycle;
        server.Kill();
        ASSERT_TRUE(WaitFor([&] {
            return events.Count("2 RTSP connection lost, reconnection attempt 1") == static_cast<size_t>(cycle);
        })) << events.Text();
        std::this_thread::sleep_for(400ms); // at least one refused attempt
        StartServer({"--port", std::to_string(port)});
        ASSERT_TRUE(WaitFor([&] {
            return events.Count("0 RTSP connection reestablished") == static_cast<size_t>(cycle);
        }, 10000ms)) << events.Text();
    }
    ASSERT_TRUE(WaitFor([&] { return packetsSoFar() > 0 && probe.Arrivals().back().segment == kCycles; }));
    std::this_thread::sleep_for(1000ms);
    // End on a loss so every packet received has been handed to the file.
    server.Kill();
    ASSERT_TRUE(WaitFor([&] {
        return events.Count("2 RTSP connection lost, reconnection attempt 1") == size_t(kCycles + 1);
    })) << events.Text();
    std::this_thread::sleep_for(300ms); // the write thread drains every 100 ms
    const auto stopBegin = Clock::now();
    recorder.StopVideoSave();
    recorder.StopEngine();
    recorder.CloseSource();
    EXPECT_LT(Clock::now() - stopBegin, 3s) << "stopping does not wait for the reconnection loop";
    EXPECT_EQ(events.Count("message 3"), 0u) << events.Text();

    // Per connection, everything from its first key picture on is recorded.
    std::map<int, int> expected;
    std::map<int, bool> started;
    for (const auto& a : probe.Arrivals()) {
        if (!started[a.segment] && a.key && a.hasDts)
            started[a.segment] = true;
        if (started[a.segment])
            ++expected[a.segment];
    }
    for (int segment = 0; segment <= kCycles; ++segment) {
        const std::string file = segment == 0 ? base : folder + "/cam_%" + std::to_string(segment) + ".mp4";
        ASSERT_TRUE(std::filesystem::exists(file)) << file;
        EXPECT_EQ(VideoPacketsInFile(file), expected[segment])
            << file << "\n" << Capture("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                    "stream=nb_read_packets -of csv=p=0 '" + file + "' 2>&1");
    }
}

// ------------------------------------------------------------------ failures

TEST_F(LiveCamera, RefusingOrHungCamerasFailTheOpenWithinTheTimeout)
{
    FFFileServerWrapper facade("camera_source_fail");
    SourceSettings settings;
    settings.streamUsingTCP = true;
    settings.packetTimeoutMs = 1500.0;
    facade.SetSourceSettings(settings);

    auto begin = Clock::now();
    EXPECT_FALSE(facade.OpenSource("rtsp://127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort()) + "/test"));
    EXPECT_LT(Clock::now() - begin, 1500ms);

    StartServer();
    server.Signal(SIGSTOP);
    begin = Clock::now();
    EXPECT_FALSE(facade.OpenSource(server.Url() + "/test"));
    EXPECT_LT(Clock::now() - begin, 5000ms);
    server.Signal(SIGCONT);
}

} // namespace

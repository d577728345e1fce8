// Cameras that misbehave: a port that answers with noise or with broken RTSP
// replies must fail the open within the configured timeout, and a recording
// of a real camera must stop promptly whether the camera is streaming, gone
// (the source sleeping between attempts), or hung in the middle of a
// reconnection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "camera/RtspTestServer.h"
#include "camera/camera_source_support.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"
#include "facade/FFServingWrappers.h"
#include "source/FFRTSPSource.h"

using namespace CameraSourceTest;
using namespace Quillet::FFWrapperCLI;
using QuilletTest::RtspTestServer;

namespace {

constexpr double kTimeoutMs = 1500.0;
// Room for a loaded machine on top of the configured timeout.
constexpr auto kSlack = 2500ms;

enum class Misbehaviour {
    RandomBytes,      // noise in answer to the first request, then silence
    RandomThenClose,  // noise, then the connection is dropped
    MalformedStatus,  // every request gets a status line that is not RTSP
    GarbageDescribe,  // OPTIONS answered properly, DESCRIBE with noise as SDP
};

// Answers every connection on 127.0.0.1 the way `mode` says until destroyed.
class HostileCamera {
public:
    explicit HostileCamera(Misbehaviour mode, unsigned seed) : _mode(mode), _random(seed)
    {
        _listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (_listener < 0 || ::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(_listener, 8) != 0 ||
            ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        _port = ntohs(address.sin_port);
        _thread = std::thread([this] { _Serve(); });
    }
    ~HostileCamera()
    {
        _stop = true;
        if (_thread.joinable())
            _thread.join();
        for (int fd : _connections)
            ::close(fd);
        if (_listener >= 0)
            ::close(_listener);
    }
    int Port() const { return _port; }
    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(_port) + "/x"; }
    int Requests() const { return _requests; }

private:
    void _Serve()
    {
        std::vector<pollfd> fds;
        while (!_stop) {
            fds.assign(1, pollfd{_listener, POLLIN, 0});
            for (int fd : _connections)
                fds.push_back(pollfd{fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept(_listener, nullptr, nullptr);
                if (fd >= 0)
                    _connections.push_back(fd);
            }
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    _Answer(fds[i].fd);
        }
    }

    void _Answer(int fd)
    {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            _Drop(fd);
            return;
        }
        ++_requests;
        const std::string request(buffer, static_cast<size_t>(n));
        switch (_mode) {
        case Misbehaviour::RandomBytes:
            _Send(fd, _Noise(8192));
            break;
        case Misbehaviour::RandomThenClose:
            _Send(fd, _Noise(2048));
            _Drop(fd);
            break;
        case Misbehaviour::MalformedStatus:
            _Send(fd, "RTSP/1.0 2OO Fine\r\nCSeq: banana\r\nContent-Length: -7\r\n\r\n" + _Noise(64));
            break;
        case Misbehaviour::GarbageDescribe: {
            const std::string cseq = "CSeq: " + _CSeqOf(request) + "\r\n";
            if (request.rfind("OPTIONS", 0) == 0) {
                _Send(fd, "RTSP/1.0 200 OK\r\n" + cseq + "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n\r\n");
            } else {
                std::string sdp = "v=0\r\nm=video banana RTP/AVP 96\r\na=rtpmap:96 H264/0\r\n" + _Noise(300);
                _Send(fd, "RTSP/1.0 200 OK\r\n" + cseq + "Content-Type: application/sdp\r\nContent-Length: " +
                              std::to_string(sdp.size()) + "\r\n\r\n" + sdp);
            }
            break;
        }
        }
    }

    static std::string _CSeqOf(const std::string& request)
    {
        const size_t at = request.find("CSeq:");
        if (at == std::string::npos)
            return "1";
        const size_t begin = request.find_first_not_of(' ', at + 5);
        return request.substr(begin, request.find("\r\n", begin) - begin);
    }

    std::string _Noise(size_t size)
    {
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(_random() & 0xff);
        return bytes;
    }

    static void _Send(int fd, const std::string& bytes) { (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    void _Drop(int fd)
    {
        ::close(fd);
        _connections.erase(std::remove(_connections.begin(), _connections.end(), fd), _connections.end());
    }

    Misbehaviour _mode;
    std::mt19937 _random;
    int _listener = -1;
    int _port = 0;
    std::vector<int> _connections;
    std::atomic<bool> _stop{false};
    std::atomic<int> _requests{0};
    std::thread _thread;
};

struct HostileCase {
    Misbehaviour mode;
    bool tcp;
    const char* name;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name << (c.tcp ? " TCP" : " UDP"); }

class GarbageCamera : public ::testing::TestWithParam<HostileCase> {};

TEST_P(GarbageCamera, OpenFailsWithinTheTimeoutThroughTheSourceAndTheFacade)
{
    const HostileCase c = GetParam();
    for (unsigned seed : {1u, 2u}) {
        HostileCamera camera(c.mode, seed);
        ASSERT_GT(camera.Port(), 0) << "cannot listen on 127.0.0.1";

        auto settings = std::make_shared<FFSourceSettings>();
        settings->streamUsingTCP = c.tcp;
        settings->packetTimeoutMs = kTimeoutMs;
        Timeline timeline;
        TimelineMessenger messenger(timeline);
        {
            FFRTSPSource source;
            source.SetMessenger(&messenger);
            source.SetSourceSettings(settings);
            const auto begin = Clock::now();
            EXPECT_FALSE(source.OpenSource(camera.Url())) << "seed " << seed;
            EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(int(kTimeoutMs)) + kSlack) << "seed " << seed;
            EXPECT_FALSE(source.IsOpen());
            source.CloseSource();
        }
        EXPECT_EQ(timeline.Count("event 0 RTSP connected"), 0u) << timeline.Text();

        FFFileServerWrapper facade("camera_source_garbage");
        SourceSettings facadeSettings;
        facadeSettings.streamUsingTCP = c.tcp;
        facadeSettings.packetTimeoutMs = kTimeoutMs;
        facade.SetSourceSettings(facadeSettings);
        const auto begin = Clock::now();
        EXPECT_FALSE(facade.OpenSource(camera.Url())) << "seed " << seed;
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(int(kTimeoutMs)) + kSlack) << "seed " << seed;
        facade.StopEngine();
        facade.CloseSource();
        EXPECT_GE(camera.Requests(), 2) << "both opens reached the camera";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, GarbageCamera,
    ::testing::Values(HostileCase{Misbehaviour::RandomBytes, true, "RandomBytes"},
                      HostileCase{Misbehaviour::RandomBytes, false, "RandomBytes"},
                      HostileCase{Misbehaviour::RandomThenClose, true, "RandomThenClose"},
                      HostileCase{Misbehaviour::MalformedStatus, true, "MalformedStatus"},
                      HostileCase{Misbehaviour::MalformedStatus, false, "MalformedStatus"},
                      HostileCase{Misbehaviour::GarbageDescribe, true, "GarbageDescribe"},
                      HostileCase{Misbehaviour::GarbageDescribe, false, "GarbageDescribe"}),
    [](const auto& info) { return std::string(info.param.name) + (info.param.tcp ? "Tcp" : "Udp"); });

// The plain player, with the default (ten-second) timeout, against a camera
// that hangs up on it: the failure comes from the closed connection, not
// from the timeout.
TEST(GarbageCameraPlayer, DroppedConnectionFailsThePlayerOpenWithoutWaitingForTheTimeout)
{
    HostileCamera camera(Misbehaviour::RandomThenClose, 7);
    ASSERT_GT(camera.Port(), 0);
    FFWrapper player("camera_source_garbage_player");
    const auto begin = Clock::now();
    EXPECT_FALSE(player.OpenSource(camera.Url()));
    EXPECT_LT(Clock::now() - begin, 8s);
    player.CloseSource();
}

// ------------------------------------------------------------------ stopping a real camera

// A recording engine whose camera retries at the given interval.
class RetryingFileEngine : public FFFileEngine {
public:
    RetryingFileEngine(const std::string& log, std::chrono::milliseconds retry) : FFFileEngine(log), _retry(retry) {}

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

class StoppingRealCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        folder = "camera_source_hostile_" + std::to_string(getpid());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(server.Start()) << server.Error();
    }
    void TearDown() override
    {
        server.Signal(SIGCONT);
        server.Kill();
        std::filesystem::remove_all(folder);
    }

    // A recording of the real camera with the given packet timeout, started
    // and streaming; events go to `events`.
    std::unique_ptr<FFFileWrapper> StartRecording(double packetTimeoutMs)
    {
        auto* engine = new RetryingFileEngine("camera_source_stop", FFRTSPSource::kReconnectInterval);
        auto settings = std::make_shared<FFSourceSettings>();
        settings->streamUsingTCP = true;
        settings->packetTimeoutMs = packetTimeoutMs;
        engine->SetSourceSettingsForCamera(settings);
        auto recorder = std::make_unique<FFFileWrapper>(engine);
        recorder->RegisterFFEventCallback(ManagedEventDelegate([this](const EventArgs& e) {
            if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
                events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
        }));
        if (!recorder->OpenSource(server.Url() + "/video"))
            return nullptr;
        recorder->SaveToVideoFile(folder + "/stop.mp4");
        if (!recorder->StartEngine())
            return nullptr;
        return recorder;
    }

    // How long stopping and closing take.
    static Clock::duration Stop(FFFileWrapper& recorder)
    {
        const auto begin = Clock::now();
        recorder.StopVideoSave();
        recorder.StopEngine();
        recorder.CloseSource();
        return Clock::now() - begin;
    }

    RtspTestServer server;
    std::string folder;
    Timeline events;
};

TEST_F(StoppingRealCamera, StopsPromptlyWhileStreaming)
{
    auto recorder = StartRecording(10000.0);
    ASSERT_TRUE(recorder);
    std::this_thread::sleep_for(700ms);
    EXPECT_LT(Stop(*recorder), 3s);
    EXPECT_EQ(events.Count("2 RTSP connection lost, reconnection attempt 1"), 0u) << events.Text();
}

TEST_F(StoppingRealCamera, StopsPromptlyWhileSleepingBetweenAttemptsToAGoneCamera)
{
    auto recorder = StartRecording(10000.0);
    ASSERT_TRUE(recorder);
    std::this_thread::sleep_for(500ms);
    server.Kill();
    ASSERT_TRUE(WaitFor([&] { return events.Count("2 RTSP connection lost, reconnection attempt 1") == 1; }))
        << events.Text();
    // The refused first attempt is quick; the source then sleeps five seconds.
    std::this_thread::sleep_for(1000ms);
    EXPECT_LT(Stop(*recorder), 3s) << "the five-second pause is cut short";
    EXPECT_EQ(events.Count("2 RTSP connection lost, reconnection attempt 2"), 0u) << events.Text();
}

TEST_F(StoppingRealCamera, StopsPromptlyWhileAReconnectionWaitsOnAHungCamera)
{
    // The stream stalls when the camera is frozen; the loss is noticed after
    // the packet timeout, and the reconnection that follows then waits on a
    // camera whose kernel accepts the connection but which never answers.
    constexpr double kLongTimeoutMs = 6000.0;
    auto recorder = StartRecording(kLongTimeoutMs);
    ASSERT_TRUE(recorder);
    std::this_thread::sleep_for(500ms);
    server.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return events.Count("2 RTSP connection lost, reconnection attempt 1") == 1; },
                        std::chrono::milliseconds(int(kLongTimeoutMs) * 3)))
        << events.Text();
    std::this_thread::sleep_for(500ms); // inside the six-second connect
    const auto took = Stop(*recorder);
    EXPECT_LT(took, 3s) << "the blocked connect is interrupted, not waited out";
    EXPECT_EQ(events.Count("0 RTSP connection reestablished"), 0u) << events.Text();
}

} // namespace

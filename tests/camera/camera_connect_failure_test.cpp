// Cameras that cannot be played (nothing listening, hung, noise, wrong
// password), through the client and the facade: each open fails within the
// timeout, a refused login says so, and the password is in no log or event.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <random>

extern "C" {
#include <libavutil/log.h>
}

#include "camera/RTSPSource.h"
#include "camera/RtspTestServer.h"
#include "camera/camera_source_support.h"
#include "engine/FFEngine.h"
#include "support/CapturingAppender.h"

using namespace CameraSourceTest;
using QuilletTest::RtspTestServer;

namespace {

constexpr int kTimeoutMs = 1500;
constexpr auto kSlack = 2500ms; // room for a loaded machine
constexpr const char* kPassword = "Secr3t-pw";

// Answers every request on 127.0.0.1 with random bytes until destroyed.
class NoiseCamera {
public:
    NoiseCamera()
    {
        _listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && ::listen(_listener, 8) == 0 &&
            ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            _port = ntohs(address.sin_port);
        _thread = std::thread([this] { _Serve(); });
    }
    ~NoiseCamera()
    {
        _stop = true;
        _thread.join();
        for (int fd : _connections)
            ::close(fd);
        ::close(_listener);
    }
    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(_port); }

private:
    void _Serve()
    {
        std::mt19937 random(7);
        while (!_stop) {
            std::vector<pollfd> fds{{_listener, POLLIN, 0}};
            for (int fd : _connections)
                fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if ((fds[0].revents & POLLIN) != 0)
                _connections.push_back(::accept(_listener, nullptr, nullptr));
            for (size_t i = 1; i < fds.size(); ++i) {
                char buffer[4096];
                if ((fds[i].revents & POLLIN) == 0 || ::recv(fds[i].fd, buffer, sizeof(buffer), 0) <= 0)
                    continue;
                std::string noise(4096, '\0');
                for (char& ch : noise)
                    ch = static_cast<char>(random());
                (void)::send(fds[i].fd, noise.data(), noise.size(), MSG_NOSIGNAL);
            }
        }
    }

    int _listener = -1;
    int _port = 0;
    std::vector<int> _connections;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

enum class Mode { NothingListening, Hung, Noise, WrongPassword };

struct FailureCase {
    Mode mode;
    bool facade; // else the camera client alone
    const char* name;
};

// Every line FFmpeg, the camera client and the library log while alive.
class AllLogLines {
public:
    AllLogLines() : _capture(log4cpp::Category::getRoot(), 700)
    {
        lines.clear();
        av_log_set_callback([](void*, int, const char* format, va_list args) {
            char line[1024];
            vsnprintf(line, sizeof(line), format, args);
            std::lock_guard<std::mutex> guard(mutex);
            lines.push_back(line);
        });
    }
    ~AllLogLines() { av_log_set_callback(av_log_default_callback); }
    std::vector<std::string> Texts()
    {
        auto texts = _capture->Texts();
        std::lock_guard<std::mutex> guard(mutex);
        texts.insert(texts.end(), lines.begin(), lines.end());
        return texts;
    }

private:
    static inline std::mutex mutex;
    static inline std::vector<std::string> lines;
    Quillet::Testing::ScopedCapture _capture;
};

class CameraConnectFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CameraConnectFailure, OpenFailsWithinTheTimeoutAndARefusedLoginSaysSo)
{
    const FailureCase& c = GetParam();
    RtspTestServer server;
    std::unique_ptr<NoiseCamera> noise;
    std::string url = "rtsp://127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort());
    if (c.mode == Mode::Hung || c.mode == Mode::WrongPassword) {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        ASSERT_TRUE(server.Start({"--auth", std::string("viewer:") + kPassword + "-not"})) << server.Error();
        url = server.Url();
        if (c.mode == Mode::Hung)
            server.Signal(SIGSTOP); // the kernel accepts, nobody answers
    } else if (c.mode == Mode::Noise) {
        noise = std::make_unique<NoiseCamera>();
        url = noise->Url();
    }
    url += "/hevc";

    AllLogLines logs;
    Timeline events;
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = true;
    settings->packetTimeoutMs = kTimeoutMs;
    settings->username = "viewer";
    settings->password = kPassword;
    const auto begin = Clock::now();
    Quillet::ConnectFailure failure = Quillet::ConnectFailure::None;
    if (c.facade) {
        auto* engine = new FFEngine("camera_connect_failure");
        engine->SetSourceSettingsForCamera(settings);
        FFWrapperCLI::FFWrapper player(engine);
        RecordFacadeEvents(player, events);
        EXPECT_FALSE(player.OpenSource(url));
        player.CloseSource();
    } else {
        RTSPSource client;
        RTSPSourceSettings clientSettings;
        clientSettings.streamUsingTCP = true, clientSettings.packetTimeoutMs = kTimeoutMs;
        clientSettings.username = settings->username, clientSettings.password = kPassword;
        client.SetupSource(clientSettings);
        EXPECT_FALSE(client.Connect(url));
        failure = client.LastConnectFailure();
        EXPECT_FALSE(client.IsRunning());
        EXPECT_FALSE(client.ReadFrame());
        EXPECT_FALSE(client.GetVideoInfo());
        EXPECT_FALSE(client.Close());
    }
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(kTimeoutMs) + kSlack);
    server.Signal(SIGCONT);

    const bool refused = c.mode == Mode::WrongPassword;
    if (c.facade) {
        EXPECT_EQ(events.Count("0 RTSP connected"), 0u) << events.Text();
        EXPECT_EQ(events.Count("1 RTSP authorization failed"), refused ? 1u : 0u) << events.Text();
    } else {
        EXPECT_EQ(failure, refused ? Quillet::ConnectFailure::AuthorizationFailed : Quillet::ConnectFailure::Other);
    }
    bool toldWhy = false;
    for (const std::string& line : logs.Texts()) {
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
        toldWhy = toldWhy || line.find("authorization failed") != std::string::npos;
    }
    EXPECT_EQ(toldWhy, refused);
    EXPECT_EQ(events.Text().find(kPassword), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, CameraConnectFailure,
    ::testing::Values(FailureCase{Mode::NothingListening, false, "NothingListeningClient"},
                      FailureCase{Mode::NothingListening, true, "NothingListeningFacade"},
                      FailureCase{Mode::Hung, false, "HungClient"}, FailureCase{Mode::Hung, true, "HungFacade"},
                      FailureCase{Mode::Noise, false, "NoiseClient"}, FailureCase{Mode::Noise, true, "NoiseFacade"},
                      FailureCase{Mode::WrongPassword, false, "WrongPasswordClient"},
                      FailureCase{Mode::WrongPassword, true, "WrongPasswordFacade"}),
    [](const auto& info) { return std::string(info.param.name); });

// Close from another thread ends a Connect blocked on a camera that hangs.
TEST(ConnectInterrupt, CloseEndsABlockedConnect)
{
    if (!RtspTestServer::Available())
        GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
    RtspTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    server.Signal(SIGSTOP);
    RTSPSource client;
    RTSPSourceSettings settings;
    settings.streamUsingTCP = true, settings.packetTimeoutMs = 20000;
    client.SetupSource(settings);
    auto connecting = std::async(std::launch::async, [&] { return client.Connect(server.Url() + "/test"); });
    std::this_thread::sleep_for(300ms);
    auto closing = std::async(std::launch::async, [&] { return client.Close(); });
    ASSERT_EQ(closing.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready) << "Close did not interrupt Connect";
    EXPECT_FALSE(connecting.get());
    server.Signal(SIGCONT);
}

} // namespace

// Cameras that cannot be played (nothing listening, hung, noise, wrong
// password), through the client and the facade: each open fails within the
// timeout, a refused login says so, and the password is in no log or event.
// Close from another thread ends a Connect blocked on a hung camera.
#include <gtest/gtest.h>

#include <future>
#include <random>

extern "C" {
#include <libavutil/log.h>
}

#include "camera/RTSPSource.h"
#include "camera/RtspTestServer.h"
#include "engine/FFEngine.h"
#include "support/CapturingAppender.h"
#include "support/FacadeEvents.h"
#include "support/StallingHttpServer.h"

using namespace Quillet;
using namespace std::chrono_literals;
using Quillet::Testing::StallingHttpServer;
using QuilletTest::RtspTestServer;

namespace {

constexpr int kTimeoutMs = 1500;
constexpr auto kSlack = 2500ms; // room for a loaded machine
constexpr const char* kPassword = "Secr3t-pw";

enum class Mode { NothingListening, Hung, Noise, WrongPassword };
const char* const kModeNames[] = {"NothingListening", "Hung", "Noise", "WrongPassword"};

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

// (failure mode, through the facade: else the camera client alone)
class CameraConnectFailure : public ::testing::TestWithParam<std::tuple<Mode, bool>> {};

TEST_P(CameraConnectFailure, OpenFailsWithinTheTimeoutAndARefusedLoginSaysSo)
{
    const auto [mode, facade] = GetParam();
    RtspTestServer server;
    std::unique_ptr<StallingHttpServer> stalling;
    std::string url = "rtsp://127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort());
    if (mode == Mode::WrongPassword) {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        ASSERT_TRUE(server.Start({"--auth", std::string("viewer:") + kPassword + "-not"})) << server.Error();
        url = server.Url();
    } else if (mode != Mode::NothingListening) {
        std::string noise(mode == Mode::Noise ? 4096 : 0, '\0');
        std::generate(noise.begin(), noise.end(), [random = std::mt19937(7)]() mutable { return char(random()); });
        stalling = std::make_unique<StallingHttpServer>(noise, true);
        url = "rtsp://127.0.0.1:" + std::to_string(stalling->Port());
    }
    url += "/hevc";

    AllLogLines logs;
    Quillet::Testing::FacadeEvents events;
    const auto begin = std::chrono::steady_clock::now();
    const bool refused = mode == Mode::WrongPassword;
    if (facade) {
        auto settings = std::make_shared<FFSourceSettings>();
        settings->packetTimeoutMs = kTimeoutMs, settings->username = "viewer", settings->password = kPassword;
        auto* engine = new FFEngine("camera_connect_failure");
        engine->SetSourceSettingsForCamera(settings);
        FFWrapperCLI::FFWrapper player(engine);
        events.Attach(player);
        EXPECT_FALSE(player.OpenSource(url));
        player.CloseSource();
        EXPECT_EQ(events.Count("0 RTSP connected"), 0u) << events.Text();
        EXPECT_EQ(events.Count("1 RTSP authorization failed"), refused ? 1u : 0u) << events.Text();
    } else {
        RTSPSourceSettings settings;
        settings.streamUsingTCP = true, settings.packetTimeoutMs = kTimeoutMs;
        settings.username = "viewer", settings.password = kPassword;
        RTSPSource client;
        client.SetupSource(settings);
        EXPECT_FALSE(client.Connect(url));
        EXPECT_EQ(client.LastConnectFailure(), refused ? ConnectFailure::AuthorizationFailed : ConnectFailure::Other);
        // A failed client answers as a closed one.
        EXPECT_FALSE(client.IsRunning() || client.ReadFrame() || client.GetVideoInfo() || client.Close());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(kTimeoutMs) + kSlack);
    for (const std::string& line : logs.Texts())
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
    EXPECT_EQ(events.Text().find(kPassword), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraConnectFailure,
                         ::testing::Combine(::testing::Values(Mode::NothingListening, Mode::Hung, Mode::Noise,
                                                              Mode::WrongPassword),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return kModeNames[int(std::get<0>(info.param))] +
                                    std::string(std::get<1>(info.param) ? "Facade" : "Client");
                         });

TEST(ConnectInterrupt, CloseEndsABlockedConnect)
{
    StallingHttpServer hung;
    RTSPSource client;
    RTSPSourceSettings settings;
    settings.streamUsingTCP = true, settings.packetTimeoutMs = 20000;
    client.SetupSource(settings);
    auto connecting = std::async(std::launch::async, [&] {
        return client.Connect("rtsp://127.0.0.1:" + std::to_string(hung.Port()) + "/test");
    });
    std::this_thread::sleep_for(300ms);
    auto closing = std::async(std::launch::async, [&] { return client.Close(); });
    ASSERT_EQ(closing.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready) << "Close did not interrupt Connect";
    EXPECT_FALSE(connecting.get());
}

} // namespace

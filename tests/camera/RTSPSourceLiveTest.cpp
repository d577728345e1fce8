// The camera client against a real RTSP server on the loopback interface:
// what only the client level shows (configuration ids, its own queue, the
// request and timing settings, noticing a dead or silent camera). Playing,
// recording and serving the camera are judged through the facades in
// camera_acceptance_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "camera/ParameterSets.h"
#include "camera/RTSPSource.h"
#include "camera/RtspTestServer.h"
#include "support/WaitFor.h"

using namespace Quillet;
using Quillet::Testing::WaitFor;
using QuilletTest::RtspTestServer;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kTicksPerMs = 10'000; // 100 ns ticks

int64_t NowTicks()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

class RTSPSourceLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
    }
    // Connects to `mount` of a fresh server started with `arguments`.
    void Connect(RTSPSourceSettings settings, const char* mount, const std::vector<std::string>& arguments = {})
    {
        ASSERT_TRUE(server.Start(arguments)) << server.Error();
        source.SetupSource(settings);
        ASSERT_TRUE(source.Connect(server.Url() + mount));
    }
    // Reads until `count` packets came (or 6 s passed); `each` sees every one.
    std::vector<std::shared_ptr<MediaPacketStruct>> Read(size_t count,
                                                         const std::function<void(const MediaPacketStruct&)>& each = {})
    {
        std::vector<std::shared_ptr<MediaPacketStruct>> got;
        WaitFor([&] {
            while (auto p = source.ReadFrame()) {
                if (each)
                    each(*p);
                got.push_back(p);
            }
            return got.size() >= count;
        }, 6s);
        return got;
    }
    static RTSPSourceSettings Settings(bool tcp, int packetTimeoutMs)
    {
        RTSPSourceSettings s;
        s.streamUsingTCP = tcp;
        s.packetTimeoutMs = packetTimeoutMs;
        return s;
    }

    RtspTestServer server;
    RTSPSource source;
};

// Every switch of the camera's picture size comes as a key packet with a
// new configuration id, whose description holds the size and the very SPS
// the packet carries.
TEST_F(RTSPSourceLive, ResolutionSwitchStartsNewConfiguration)
{
    Connect(Settings(true, 3000), "/video", {"--switch-every", "1"});
    auto info = source.GetVideoInfo();
    ASSERT_TRUE(info);
    EXPECT_FALSE(source.GetAudioInfo());
    int changes = 0;
    Read(10000, [&](const MediaPacketStruct& p) {
        if (changes >= 3)
            return;
        ASSERT_EQ(p.mediaType, MediaPacket::Video);
        if (!p.codecChanged) {
            EXPECT_EQ(p.configId, info->configId);
            return;
        }
        ++changes;
        const int width = info->width;
        EXPECT_NE(p.configId, info->configId);
        EXPECT_EQ(p.frameType, MediaPacket::KeyFrame);
        info = source.GetVideoInfo();
        EXPECT_EQ(info->configId, p.configId);
        EXPECT_EQ(info->width, width == 640 ? 320 : 640); // the server toggles 640x480 / 320x240
        EXPECT_EQ(info->height, info->width * 3 / 4);
        const ParameterSets inBand = FindParameterSets(AV_CODEC_ID_H264, p.data, std::size_t(p.size));
        ASSERT_FALSE(inBand.sps.empty());
        EXPECT_EQ(FindParameterSets(AV_CODEC_ID_H264, info->extradata.data(), info->extradata.size()).sps, inBand.sps);
    });
    EXPECT_GE(changes, 3);
}

// A video-only request gets no sound; before any sender report the time is
// the reception time moved by latency and shift; the timing log has a line
// per packet.
TEST_F(RTSPSourceLive, VideoOnlyRequestWithLatencyAndTimingLog)
{
    namespace fs = std::filesystem;
    const fs::path logFolder = fs::current_path() / "camera-timing-log";
    fs::remove_all(logFolder);
    fs::create_directories(logFolder);
    RTSPSourceSettings settings = Settings(true, 3000);
    settings.mediaTypes = {MediaPacket::Video};
    settings.videoLatencyMs = 250.0;
    settings.syncShiftMs = 50.0;
    settings.createTimingLog = true;
    settings.timingLogFolder = logFolder.string();
    Connect(settings, "/test");
    EXPECT_FALSE(source.GetAudioInfo());
    const auto received = Read(20);
    ASSERT_GE(received.size(), 20u);
    for (const auto& p : received)
        EXPECT_EQ(p->mediaType, MediaPacket::Video);
    const TimingDataStruct& first = *received.front()->timing;
    ASSERT_EQ(first.trustIndex, MediaPacket::LocalClock);
    EXPECT_EQ(first.pcTimeUTC, first.receivedUTC - 200 * kTicksPerMs);
    EXPECT_TRUE(source.Close());

    ASSERT_EQ(std::distance(fs::directory_iterator(logFolder), fs::directory_iterator()), 1);
    std::ifstream log(fs::directory_iterator(logFolder)->path());
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line.rfind("media,configId,", 0), 0u);
    std::size_t lines = 0;
    for (; std::getline(log, line); ++lines)
        EXPECT_EQ(line.rfind("video,", 0), 0u) << line;
    EXPECT_GE(lines, received.size());
}

// A consumer that falls behind loses the oldest packets, never the newest.
TEST_F(RTSPSourceLive, FullQueueDropsOldestPackets)
{
    RTSPSourceSettings settings = Settings(true, 3000);
    settings.maxQueuedPackets = 5;
    Connect(settings, "/video");
    std::this_thread::sleep_for(1200ms); // about 30 frames
    std::vector<std::shared_ptr<MediaPacketStruct>> drained;
    const int64_t drainedAt = NowTicks();
    while (auto packet = source.ReadFrame())
        drained.push_back(packet);
    ASSERT_GE(drained.size(), 3u);
    EXPECT_LE(drained.size(), 5u);
    EXPECT_GT(drained.front()->timing->receivedUTC, drainedAt - 500 * kTicksPerMs);
    for (std::size_t i = 1; i < drained.size(); ++i)
        EXPECT_NEAR(double(drained[i]->timing->timestamp - drained[i - 1]->timing->timestamp), 3600.0, 10.0);
    EXPECT_TRUE(source.IsRunning());
}

// The test camera's first report comes 1-3 s after connecting.
TEST_F(RTSPSourceLive, MissingSenderReportStopsStreamWhenRequired)
{
    RTSPSourceSettings settings = Settings(true, 3000);
    settings.requireRTCP = true;
    settings.rtcpTimeoutMs = 300;
    Connect(settings, "/video");
    EXPECT_TRUE(WaitFor([&] { return !source.IsRunning(); }, 1000ms));
    EXPECT_TRUE(source.Close());
    settings.requireRTCP = false;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(server.Url() + "/video"));
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(source.IsRunning());
}

// A camera that dies (killed) or goes silent (stopped, sockets open) is
// noticed within twice the packet timeout over either transport, and Close
// returns; with a long timeout, Close interrupts the blocked read.
struct LossCase {
    const char* name;
    bool tcp;
    int signal;
    int packetTimeoutMs;
};

class RTSPSourceLoss : public RTSPSourceLive, public ::testing::WithParamInterface<LossCase> {};

TEST_P(RTSPSourceLoss, LostCameraIsNoticedAndCloseReturns)
{
    const LossCase& c = GetParam();
    Connect(Settings(c.tcp, c.packetTimeoutMs), "/test");
    EXPECT_GE(Read(10).size(), 10u);
    server.Signal(c.signal);
    const auto lost = std::chrono::steady_clock::now();
    if (c.packetTimeoutMs < 5000) {
        // Liveness bounds (twice the packet timeout, plus slack), not speed.
        EXPECT_TRUE(WaitFor([&] { return !source.IsRunning(); }, 3000ms));
        if (c.signal == SIGSTOP) {
            EXPECT_GE(std::chrono::steady_clock::now() - lost, 500ms) << "stopped before the timeout could pass";
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(source.IsRunning()) << "stays stopped while the reader drains";
        }
    } else {
        std::this_thread::sleep_for(400ms);
        EXPECT_TRUE(source.IsRunning()) << "20 s timeout not reached yet";
    }
    auto closing = std::async(std::launch::async, [&] { return source.Close(); });
    ASSERT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close hung on a lost camera";
    EXPECT_TRUE(closing.get());
    EXPECT_FALSE(source.IsRunning());
    EXPECT_FALSE(source.ReadFrame()) << "what was queued went with the connection";
    EXPECT_FALSE(source.GetVideoInfo());
}

INSTANTIATE_TEST_SUITE_P(Losses, RTSPSourceLoss,
                         ::testing::Values(LossCase{"KilledTcp", true, SIGKILL, 1000},
                                           LossCase{"KilledUdp", false, SIGKILL, 1000},
                                           LossCase{"SilentTcp", true, SIGSTOP, 1000},
                                           LossCase{"SilentUdp", false, SIGSTOP, 1000},
                                           LossCase{"BlockedRead", true, SIGSTOP, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

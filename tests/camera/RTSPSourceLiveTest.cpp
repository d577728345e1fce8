// The camera client against a real RTSP server on the loopback interface.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include "camera/ParameterSets.h"
#include "camera/RTSPSource.h"
#include "camera/RtspTestServer.h"

using namespace Quillet;
using QuilletTest::RtspTestServer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kTicksPerMs = 10'000; // 100 ns ticks

int64_t NowTicks()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

RTSPSourceSettings MakeSettings(bool tcp, int packetTimeoutMs)
{
    RTSPSourceSettings settings;
    settings.streamUsingTCP = tcp;
    settings.packetTimeoutMs = packetTimeoutMs;
    return settings;
}

struct Received {
    std::shared_ptr<MediaPacketStruct> packet;
    int64_t readTicks = 0;
    std::unique_ptr<MediaInfoStruct> videoInfoAfter; // only where the configuration changed
};

// Reads until `enough` says so or `limit` passes.
std::vector<Received> ReadPackets(RTSPSource& source, std::chrono::milliseconds limit,
                                  const std::function<bool(const std::vector<Received>&)>& enough)
{
    std::vector<Received> received;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && !enough(received)) {
        auto packet = source.ReadFrame();
        if (!packet) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        Received entry{packet, NowTicks(), nullptr};
        if (packet->codecChanged)
            entry.videoInfoAfter = source.GetVideoInfo();
        received.push_back(std::move(entry));
    }
    return received;
}

std::vector<const MediaPacketStruct*> OfType(const std::vector<Received>& received, MediaPacket::MediaType type)
{
    std::vector<const MediaPacketStruct*> packets;
    for (const auto& entry : received)
        if (entry.packet->mediaType == type)
            packets.push_back(entry.packet.get());
    return packets;
}

bool WaitUntilNotRunning(RTSPSource& source, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (!source.IsRunning())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return !source.IsRunning();
}

class RTSPSourceLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
    }
    void StartServer(const std::vector<std::string>& arguments = {})
    {
        ASSERT_TRUE(_server.Start(arguments)) << _server.Error();
    }
    RtspTestServer _server;
};

struct TransportCase {
    bool tcp;
    const char* mount;
    MediaPacket::Codec videoCodec;
    MediaPacket::Codec audioCodec;
    int sampleRate;
    int channels;
    int64_t audioStep; // ticks per audio packet
    bool timeFilter;
};

void PrintTo(const TransportCase& c, std::ostream* os)
{
    *os << (c.tcp ? "TCP " : "UDP ") << c.mount << (c.timeFilter ? " filtered" : "");
}

class RTSPSourceTransport : public RTSPSourceLive, public ::testing::WithParamInterface<TransportCase> {};

// Timestamps advance with real time, descriptions carry what a decoder needs,
// and wall-clock times are the camera's once its RTCP reports arrive and this
// PC's reception clock before.
TEST_P(RTSPSourceTransport, StreamsDescribedPacketsWithSaneTimes)
{
    const TransportCase& c = GetParam();
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(c.tcp, 3000);
    settings.enableTimeFilter = c.timeFilter;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + c.mount));
    const int64_t connectedTicks = NowTicks();
    EXPECT_TRUE(source.IsRunning());

    const auto video = source.GetVideoInfo();
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, c.videoCodec);
    EXPECT_EQ(video->width, 640);
    EXPECT_EQ(video->height, 480);
    EXPECT_EQ(video->pixelFormat, MediaPacket::YUV420);
    EXPECT_EQ(video->clockRate, 90000);
    EXPECT_NE(video->configId, 0);
    const AVCodecID videoId = c.videoCodec == MediaPacket::HEVC ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    const ParameterSets sets = FindParameterSets(videoId, video->extradata.data(), video->extradata.size());
    EXPECT_EQ(sets.vps.size(), videoId == AV_CODEC_ID_HEVC ? 1u : 0u);
    EXPECT_EQ(sets.sps.size(), 1u);
    EXPECT_EQ(sets.pps.size(), 1u);

    const auto audio = source.GetAudioInfo();
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->codec, c.audioCodec);
    EXPECT_EQ(audio->sampleRate, c.sampleRate);
    EXPECT_EQ(audio->channels, c.channels);
    EXPECT_EQ(audio->clockRate, c.sampleRate);
    EXPECT_NE(audio->streamIndex, video->streamIndex);

    // Until 25 video packets carry the camera's time (the first report comes
    // 1-3 s after connecting).
    const auto received = ReadPackets(source, 8000ms, [](const std::vector<Received>& r) {
        int trusted = 0;
        for (const auto& e : r)
            trusted += e.packet->mediaType == MediaPacket::Video && e.packet->timing->trustIndex == 0;
        return trusted >= 25;
    });
    EXPECT_TRUE(source.IsRunning());
    const auto videoPackets = OfType(received, MediaPacket::Video);
    const auto audioPackets = OfType(received, MediaPacket::Audio);
    ASSERT_GE(videoPackets.size(), 25u);
    ASSERT_GE(audioPackets.size(), 25u);
    EXPECT_EQ(videoPackets.front()->frameType, MediaPacket::KeyFrame);
    for (const auto* p : videoPackets) // 1 s between key pictures, each with its parameter sets
        EXPECT_EQ(p->frameType == MediaPacket::KeyFrame,
                  FindParameterSets(videoId, p->data, std::size_t(p->size)).sps.size() == 1u);

    for (const auto& entry : received) {
        const MediaPacketStruct& p = *entry.packet;
        ASSERT_TRUE(p.timing);
        EXPECT_GT(p.size, 0);
        EXPECT_NE(p.data, nullptr);
        EXPECT_FALSE(p.codecChanged) << "the camera never changed its configuration";
        EXPECT_EQ(p.configId, p.mediaType == MediaPacket::Video ? video->configId : audio->configId);
        EXPECT_LE(p.timing->receivedUTC, entry.readTicks);
        EXPECT_LT(entry.readTicks - p.timing->receivedUTC, 1000 * kTicksPerMs);
    }

    for (const auto* packets : {&videoPackets, &audioPackets}) {
        const bool isVideo = packets == &videoPackets;
        bool trustedSeen = false;
        for (std::size_t i = 0; i < packets->size(); ++i) {
            const MediaPacketStruct& p = *(*packets)[i];
            const TimingDataStruct& t = *p.timing;
            if (i > 0) {
                // Baseline H.264 has no reordering, so both streams strictly advance.
                EXPECT_GT(t.timestamp, (*packets)[i - 1]->timing->timestamp) << (isVideo ? "video " : "audio ") << i;
                // Where the clock source switches to the camera's, time may step back a little.
                if (t.trustIndex == (*packets)[i - 1]->timing->trustIndex) {
                    EXPECT_GT(t.pcTimeUTC, (*packets)[i - 1]->timing->pcTimeUTC) << (isVideo ? "video " : "audio ") << i;
                }
            }
            if (t.trustIndex == MediaPacket::SenderReport) {
                trustedSeen = true;
                // Video waits one frame in FFmpeg's parser, hence not zero;
                // an H.265 encoder on a busy machine adds a few frames more.
                EXPECT_LT(std::llabs(t.receivedUTC - t.pcTimeUTC), 300 * kTicksPerMs) << i;
                continue;
            }
            EXPECT_FALSE(trustedSeen) << "back to the local clock after the camera's time was known, packet " << i;
            if (c.timeFilter) {
                EXPECT_EQ(t.trustIndex, MediaPacket::FilteredLocalClock);
                EXPECT_LE(t.pcTimeUTC, t.receivedUTC);
                if (t.receivedUTC - connectedTicks > 300 * kTicksPerMs) {
                    EXPECT_LT(t.receivedUTC - t.pcTimeUTC, 100 * kTicksPerMs) << i;
                }
            } else {
                EXPECT_EQ(t.trustIndex, MediaPacket::LocalClock);
                EXPECT_EQ(t.pcTimeUTC, t.receivedUTC);
            }
        }
        EXPECT_TRUE(trustedSeen);
        EXPECT_NE(packets->front()->timing->trustIndex, MediaPacket::SenderReport)
            << "no report can have arrived with the first packet";
    }

    // Media time runs with real time: 25 fps video, fixed-size audio packets.
    const auto& v0 = *videoPackets.front()->timing;
    const auto& vn = *videoPackets.back()->timing;
    const double videoSteps = double(videoPackets.size() - 1);
    EXPECT_NEAR(double(vn.timestamp - v0.timestamp) / videoSteps, 3600.0, 360.0);
    EXPECT_NEAR(double(vn.timestamp - v0.timestamp) / 90000.0, double(vn.pcTimeUTC - v0.pcTimeUTC) / 1e7, 0.25);
    for (std::size_t i = 1; i < audioPackets.size(); ++i) {
        // FFmpeg maps each stream onto the sender-report timeline anew at every
        // report, rounding by a tick; a lost or repeated packet is a whole step.
        const int64_t step = audioPackets[i]->timing->timestamp - audioPackets[i - 1]->timing->timestamp;
        EXPECT_NEAR(double(step), double(c.audioStep), 2.0) << i;
    }

    EXPECT_TRUE(source.Close());
    EXPECT_FALSE(source.IsRunning());
    EXPECT_FALSE(source.ReadFrame());
    EXPECT_FALSE(source.GetVideoInfo());
    EXPECT_FALSE(source.Close());
}

INSTANTIATE_TEST_SUITE_P(Transports, RTSPSourceTransport,
                         ::testing::Values(TransportCase{true, "/test", MediaPacket::H264, MediaPacket::AAC, 48000, 2, 1024, false},
                                           TransportCase{false, "/pcmu", MediaPacket::H264, MediaPacket::PCMU, 8000, 1, 160, true},
                                           TransportCase{true, "/hevc", MediaPacket::HEVC, MediaPacket::PCMA, 8000, 1, 160, false}),
                         [](const auto& info) { return std::string(info.param.tcp ? "Tcp" : "Udp") + (info.param.mount + 1); });

TEST_F(RTSPSourceLive, ResolutionSwitchStartsNewConfiguration)
{
    StartServer({"--switch-every", "1"});
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(true, 3000);
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/video"));
    const auto first = source.GetVideoInfo();
    ASSERT_TRUE(first);
    EXPECT_FALSE(source.GetAudioInfo());

    const auto received = ReadPackets(source, 6000ms, [](const std::vector<Received>& r) {
        int changes = 0;
        for (const auto& e : r)
            changes += e.packet->codecChanged;
        return changes >= 3;
    });
    int32_t configId = first->configId;
    int width = first->width;
    int changes = 0;
    for (const auto& entry : received) {
        const MediaPacketStruct& p = *entry.packet;
        ASSERT_EQ(p.mediaType, MediaPacket::Video);
        if (!p.codecChanged) {
            EXPECT_EQ(p.configId, configId);
            continue;
        }
        ++changes;
        EXPECT_NE(p.configId, configId);
        EXPECT_EQ(p.frameType, MediaPacket::KeyFrame);
        ASSERT_TRUE(entry.videoInfoAfter);
        const MediaInfoStruct& info = *entry.videoInfoAfter;
        EXPECT_EQ(info.configId, p.configId);
        // The server toggles between 640x480 and 320x240.
        EXPECT_EQ(info.width, width == 640 ? 320 : 640);
        EXPECT_EQ(info.height, info.width * 3 / 4);
        // The new SPS is the one this very packet carries.
        const ParameterSets inBand = FindParameterSets(AV_CODEC_ID_H264, p.data, std::size_t(p.size));
        const ParameterSets described = FindParameterSets(AV_CODEC_ID_H264, info.extradata.data(), info.extradata.size());
        ASSERT_FALSE(inBand.sps.empty());
        EXPECT_EQ(described.sps, inBand.sps);
        configId = p.configId;
        width = info.width;
    }
    EXPECT_GE(changes, 3);
}

TEST_F(RTSPSourceLive, VideoOnlyRequestWithLatencyAndTimingLogThenReconnect)
{
    StartServer();
    namespace fs = std::filesystem;
    const fs::path logFolder = fs::current_path() / "camera-timing-log";
    fs::remove_all(logFolder);
    fs::create_directories(logFolder);

    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(true, 3000);
    settings.mediaTypes = {MediaPacket::Video};
    settings.videoLatencyMs = 250.0;
    settings.syncShiftMs = 50.0;
    settings.createTimingLog = true;
    settings.timingLogFolder = logFolder.string();
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/test"));
    EXPECT_TRUE(source.GetVideoInfo());
    EXPECT_FALSE(source.GetAudioInfo());
    const auto received = ReadPackets(source, 3000ms, [](const auto& r) { return r.size() >= 20; });
    ASSERT_GE(received.size(), 20u);
    EXPECT_EQ(OfType(received, MediaPacket::Audio).size(), 0u);
    // Before any report the time is the reception time, moved by the settings.
    const TimingDataStruct& first = *received.front().packet->timing;
    ASSERT_EQ(first.trustIndex, MediaPacket::LocalClock);
    EXPECT_EQ(first.pcTimeUTC, first.receivedUTC - 200 * kTicksPerMs);

    EXPECT_TRUE(source.Close());
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(logFolder))
        logs.push_back(entry.path());
    ASSERT_EQ(logs.size(), 1u);
    std::ifstream log(logs.front());
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line.rfind("media,configId,", 0), 0u);
    std::size_t lines = 0;
    while (std::getline(log, line)) {
        EXPECT_EQ(line.rfind("video,", 0), 0u) << line;
        ++lines;
    }
    EXPECT_GE(lines, received.size());

    settings.mediaTypes = {MediaPacket::Video, MediaPacket::Audio};
    settings.createTimingLog = false;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/test"));
    EXPECT_TRUE(source.GetAudioInfo());
    const auto again = ReadPackets(source, 3000ms, [](const auto& r) { return !OfType(r, MediaPacket::Audio).empty(); });
    EXPECT_FALSE(OfType(again, MediaPacket::Audio).empty());
}

// A consumer that falls behind loses the oldest packets, never the newest.
TEST_F(RTSPSourceLive, FullQueueDropsOldestPackets)
{
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(true, 3000);
    settings.maxQueuedPackets = 5;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/video"));
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
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(true, 3000);
    settings.requireRTCP = true;
    settings.rtcpTimeoutMs = 300;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/video"));
    EXPECT_TRUE(WaitUntilNotRunning(source, 1000ms));
    EXPECT_TRUE(source.Close());

    settings.requireRTCP = false;
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/video"));
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(source.IsRunning());
}

class RTSPSourceLoss : public RTSPSourceLive, public ::testing::WithParamInterface<bool> {};

TEST_P(RTSPSourceLoss, KilledServerStopsStreamAndCloseReturns)
{
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(GetParam(), 1000);
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/test"));
    EXPECT_FALSE(ReadPackets(source, 2000ms, [](const auto& r) { return r.size() >= 10; }).empty());
    ASSERT_TRUE(source.IsRunning());

    _server.Kill();
    // Liveness bounds (twice the packet timeout, plus slack), not speed.
    EXPECT_TRUE(WaitUntilNotRunning(source, 3000ms));
    auto closing = std::async(std::launch::async, [&] { return source.Close(); });
    ASSERT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close hung after the camera died";
    EXPECT_TRUE(closing.get());
    // Whatever was queued before the end is gone with the connection.
    EXPECT_FALSE(source.ReadFrame());
}

TEST_P(RTSPSourceLoss, HungServerIsNoticedWithinTwiceTheTimeout)
{
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(GetParam(), 1000);
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/test"));
    EXPECT_FALSE(ReadPackets(source, 2000ms, [](const auto& r) { return r.size() >= 10; }).empty());

    _server.Signal(SIGSTOP); // sockets stay open, nothing is sent
    const auto stalled = Clock::now();
    EXPECT_TRUE(WaitUntilNotRunning(source, 3000ms));
    EXPECT_GE(SecondsSince(stalled), 0.5) << "stopped before the packet timeout could have passed";
    // Stays stopped even if the reader still drains a buffered packet.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(source.IsRunning());
    auto closing = std::async(std::launch::async, [&] { return source.Close(); });
    EXPECT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close hung on a silent camera";
}

INSTANTIATE_TEST_SUITE_P(Transports, RTSPSourceLoss, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Tcp" : "Udp"); });

// With a long packet timeout the reader sits in a blocked read; only the
// interrupt can get it out.
TEST_F(RTSPSourceLive, CloseDuringBlockedReadReturnsQuickly)
{
    StartServer();
    RTSPSource source;
    RTSPSourceSettings settings = MakeSettings(true, 20000);
    source.SetupSource(settings);
    ASSERT_TRUE(source.Connect(_server.Url() + "/video"));
    EXPECT_FALSE(ReadPackets(source, 2000ms, [](const auto& r) { return r.size() >= 5; }).empty());
    _server.Signal(SIGSTOP);
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(source.IsRunning()) << "20 s timeout not reached yet";

    auto closing = std::async(std::launch::async, [&] { return source.Close(); });
    ASSERT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close waited for the blocked read";
    EXPECT_TRUE(closing.get());
    EXPECT_FALSE(source.IsRunning());
    EXPECT_FALSE(source.GetVideoInfo());
}

} // namespace

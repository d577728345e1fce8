// The camera client and source without the real test camera.
//
// Cameras that cannot be played (nothing listening, hung, noise, wrong
// password), through the client, the facade and the tool: each open fails within the
// timeout (the client's on a hung camera at a Close from another thread), a
// refused login says so, and the password is in no log, event or printed line.
//
// The camera source against a scripted camera, for what a real camera cannot
// be made to do on cue: change its codec configuration, report a size it does
// not know, fail inside the client, send after a lull, send its pictures one
// at a time (each must reach the application before the next is sent unless
// the stream reorders pictures); and the settings the client is given.
// Also the key-picture test over every NAL type, which the test camera cannot
// show: it repeats its parameter sets in front of every key picture.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include "camera/ParameterSets.h"
#include "camera/RTSPSource.h"
#include "camera/RtspTestServer.h"
#include "decode/PictureOrder.h"
#include "engine/FFEngine.h"
#include "source/FFRTSPSource.h"
#include "support/CapturingAppender.h"
#include "support/CapturingDest.h"
#include "support/CapturingMessenger.h"
#include "support/FacadeEvents.h"
#include "support/RecordedPackets.h"
#include "support/ScriptedCamera.h"
#include "support/StallingHttpServer.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

using namespace Quillet;
using namespace Quillet::Testing;
using namespace std::chrono_literals;
using QuilletTest::RtspTestServer;

namespace {

constexpr int kTimeoutMs = 1500;
constexpr auto kSlack = 2500ms; // room for a loaded machine
constexpr const char* kPassword = "Secr3t-pw";

enum class Mode { NothingListening, Hung, Noise, WrongPassword };
const char* const kModeNames[] = {"NothingListening", "Hung", "Noise", "WrongPassword"};
// Who opens the camera: the client alone; the facade with the login in its
// settings (UDP) or in the URL (TCP); the tool with the login in the URL (UDP)
// or in its options (TCP).
enum class Through { Client, Facade, FacadeUrlTcp, ToolUrl, ToolOptionsTcp };
const char* const kThroughNames[] = {"Client", "Facade", "FacadeUrlTcp", "ToolUrl", "ToolOptionsTcp"};

// FFmpeg's log lines that showed the password (the library's own are captured whole).
std::atomic<int> ffmpegLeaks{0};
void CountLeaks(void*, int, const char* format, va_list args)
{
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
    ffmpegLeaks += std::strstr(line, kPassword) != nullptr;
}

// `url` with the login as its user info.
std::string WithLogin(const std::string& url)
{
    return "rtsp://viewer:" + std::string(kPassword) + "@" + url.substr(std::strlen("rtsp://"));
}

class CameraConnectFailure : public ::testing::TestWithParam<std::tuple<Mode, Through>> {};

// Why the open fails, by Mode, as the client and the facade say it. Noise
// stops and the answer never comes; a hung camera that the client test closes
// early is no timeout.
const std::pair<ConnectFailure, const char*> kFailures[] = {{ConnectFailure::ConnectionRefused, "connection refused"},
                                                            {ConnectFailure::TimedOut, "timed out"},
                                                            {ConnectFailure::TimedOut, "timed out"},
                                                            {ConnectFailure::AuthorizationFailed, "authorization failed"}};

TEST_P(CameraConnectFailure, OpenFailsWithinTheTimeoutAndSaysWhy)
{
    const auto [mode, through] = GetParam();
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
        stalling = std::make_unique<StallingHttpServer>(noise, StallingHttpServer::Options{.bare = true});
        url = "rtsp://127.0.0.1:" + std::to_string(stalling->Port());
    }
    url += "/hevc";

    ScopedCapture logs(log4cpp::Category::getRoot(), 700);
    ffmpegLeaks = 0;
    av_log_set_callback(CountLeaks); // reset below: no early return until then
    FacadeEvents events;
    std::string toolOutput;
    const auto begin = std::chrono::steady_clock::now();
    const bool refused = mode == Mode::WrongPassword;
    if (through == Through::Facade || through == Through::FacadeUrlTcp) {
        const bool inUrl = through == Through::FacadeUrlTcp;
        auto settings = std::make_shared<FFSourceSettings>();
        settings->packetTimeoutMs = kTimeoutMs, settings->streamUsingTCP = inUrl;
        settings->username = inUrl ? "" : "viewer", settings->password = inUrl ? "" : kPassword;
        auto* engine = new FFEngine("camera_connect_failure");
        engine->SetSourceSettingsForCamera(settings);
        FFWrapperCLI::FFWrapper player(engine);
        events.Attach(player);
        EXPECT_FALSE(player.OpenSource(inUrl ? WithLogin(url) : url));
        EXPECT_EQ(player.GetOpenFailureReason(), kFailures[int(mode)].second);
        player.CloseSource();
        EXPECT_EQ(events.Count("0 RTSP connected"), 0u) << events.Text();
        EXPECT_EQ(events.Count("1 RTSP authorization failed"), refused ? 1u : 0u) << events.Text();
    } else if (through == Through::Client) {
        // Hung: a Close from another thread ends the Connect long before its timeout.
        RTSPSourceSettings settings;
        settings.streamUsingTCP = true, settings.packetTimeoutMs = mode == Mode::Hung ? 20000 : kTimeoutMs;
        settings.username = "viewer", settings.password = kPassword;
        RTSPSource client;
        client.SetupSource(settings);
        auto connecting = std::async(std::launch::async, [&] { return client.Connect(url); });
        if (mode == Mode::Hung)
            std::this_thread::sleep_for(300ms), client.Close();
        EXPECT_EQ(connecting.wait_for(5s), std::future_status::ready) << "Connect did not end";
        EXPECT_FALSE(connecting.get());
        EXPECT_EQ(client.LastConnectFailure(), mode == Mode::Hung ? ConnectFailure::Other : kFailures[int(mode)].first);
        // A failed client answers as a closed one.
        EXPECT_FALSE(client.IsRunning() || client.ReadFrame() || client.GetVideoInfo() || client.Close());
    } else {
        ASSERT_TRUE(std::filesystem::exists(kFfwrap)) << "ffwrap is not built in this tree";
        const std::string login = through == Through::ToolUrl
                                      ? WithLogin(url)
                                      : url + " --tcp --user viewer --password " + kPassword;
        toolOutput = Capture(kFfwrap + " " + login + " --seconds 1 --timeout 1.5 2>&1; echo exit=$?");
        EXPECT_NE(toolOutput.find(": authorization failed\n"), std::string::npos) << toolOutput;
        EXPECT_NE(toolOutput.find("event: disconnected: RTSP authorization failed\n"), std::string::npos) << toolOutput;
        EXPECT_NE(toolOutput.find("exit=1"), std::string::npos) << toolOutput;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(kTimeoutMs) + kSlack);
    av_log_set_callback(av_log_default_callback);
    EXPECT_EQ(ffmpegLeaks, 0);
    for (const std::string& line : logs->Texts())
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
    EXPECT_EQ(events.Text().find(kPassword), std::string::npos);
    EXPECT_EQ(toolOutput.find(kPassword), std::string::npos) << toolOutput;
}

// Every failure through the client and the facade; a refused login also
// with the login in the URL and through the tool.
INSTANTIATE_TEST_SUITE_P(Cameras, CameraConnectFailure,
                         ::testing::Values(std::make_tuple(Mode::NothingListening, Through::Client),
                                           std::make_tuple(Mode::NothingListening, Through::Facade),
                                           std::make_tuple(Mode::Hung, Through::Client),
                                           std::make_tuple(Mode::Hung, Through::Facade),
                                           std::make_tuple(Mode::Noise, Through::Client),
                                           std::make_tuple(Mode::Noise, Through::Facade),
                                           std::make_tuple(Mode::WrongPassword, Through::Client),
                                           std::make_tuple(Mode::WrongPassword, Through::Facade),
                                           std::make_tuple(Mode::WrongPassword, Through::FacadeUrlTcp),
                                           std::make_tuple(Mode::WrongPassword, Through::ToolUrl),
                                           std::make_tuple(Mode::WrongPassword, Through::ToolOptionsTcp)),
                         [](const auto& info) {
                             return kModeNames[int(std::get<0>(info.param))] +
                                    std::string(kThroughNames[int(std::get<1>(info.param))]);
                         });

// ------------------------------------------------------------------ scripted camera

struct Step {
    int configId;
    bool codecChanged;
    int width = 0, height = 0; // 0: no new description with this packet
};

struct ScriptRow {
    const char* name;
    std::vector<Step> steps;
    const char* graph; // what reaches the graph: descriptions as WxH, packets as v
    std::shared_ptr<FFSourceSettings> settings;
    const char* setup; // what the client is set up with
    bool failReads = false;
    std::vector<FFMessageType> messages = {};
    // The camera goes away after its script and stays away: the reconnection
    // attempts the application hears of (ConnectionLost notices) are counted.
    int attemptsWhileAway = 0;
    // Packets the camera sends one at a time once the source sleeps on an
    // empty queue: each must wake it (a lost wake-up stalls the row).
    int late = 0;
};

constexpr auto kScriptedReconnectPause = std::chrono::milliseconds(150);

std::shared_ptr<FFSourceSettings> Settings(bool defaults)
{
    auto s = std::make_shared<FFSourceSettings>();
    if (!defaults) {
        s->streamUsingTCP = s->useTimeFilter = s->requireRTCP = false;
        s->useOnlyVideo = true;
        s->username = "user", s->password = "p@ss";
        s->packetTimeoutMs = 999.99, s->rtcpTimeoutMs = 1234.9;
    }
    return s;
}

std::string Describe(const RTSPSourceSettings& s)
{
    std::string media;
    for (MediaPacket::MediaType type : s.mediaTypes)
        media += type == MediaPacket::Video ? "v" : "a";
    return std::string(s.streamUsingTCP ? "tcp" : "udp") + (s.enableTimeFilter ? " filter" : "") +
           (s.requireRTCP ? " rtcp " : " ") + media + " " + std::to_string(s.packetTimeoutMs) + "/" +
           std::to_string(s.rtcpTimeoutMs) + " " + s.username + ":" + s.password;
}

std::string Graph(const std::vector<std::shared_ptr<FFData>>& records)
{
    std::string out;
    for (const auto& r : records) {
        if (r->GetType() == FFType::Packet)
            out += "v ";
        if (r->GetType() == FFType::AVCodec) {
            const AVCodecContext* c = static_cast<const FFAVCodec&>(*r).video->Context();
            out += std::to_string(c->width) + "x" + std::to_string(c->height) + " ";
        }
    }
    return out;
}

class CameraScripted : public ::testing::TestWithParam<ScriptRow> {};

TEST_P(CameraScripted, GraphSettingsAndErrorsFollowTheScript)
{
    const ScriptRow& row = GetParam();
    ScriptedCameraFactory camera; // before the source: the source makes its client at once
    for (const Step& s : row.steps)
        camera.Enqueue(s.configId, s.codecChanged,
                       s.width == 0 ? std::nullopt : std::optional(ScriptedVideo(s.width, s.height, s.configId)));
    camera.script->failReads = row.failReads;
    camera.script->away = row.attemptsWhileAway > 0;
    CapturingMessenger messenger("camera_scripted");
    CapturingDest<FFData> graph;
    FFRTSPSource source;
    source.SetMessenger(&messenger);
    source.SetSourceSettings(row.settings);
    source.SetReconnectInterval(kScriptedReconnectPause);
    ASSERT_TRUE(source.OpenSource("rtsp://camera.invalid/stream"));
    source.ConnectNode(&graph);
    // The loss reaches the application's handler while the reopen it starts
    // is still waiting for the camera, not once the attempt has ended.
    std::atomic<int> lossesHandled{0};
    messenger.RegisterFFEventCallback([&](FFEventArgs* args) {
        if (args->type == ConnectionStatusEvent &&
            static_cast<FFSourceConnectionStatusArgs*>(args)->status == ConnectionStatus::ConnectionLost)
            ++lossesHandled;
    });
    camera.script->holdConnects = row.attemptsWhileAway > 0;
    source.StartReadThread();
    if (row.attemptsWhileAway > 0) {
        EXPECT_TRUE(WaitFor([&] { return lossesHandled > 0; })) << "the loss was told only after the reopen";
        {
            std::lock_guard<std::mutex> guard(camera.script->mutex);
            camera.script->holdConnects = false;
        }
        camera.script->changed.notify_all();
    }
    const size_t notices = 1 + static_cast<size_t>(row.attemptsWhileAway); // Connected, then each attempt
    EXPECT_TRUE(WaitFor([&] {
        if (row.attemptsWhileAway > 0)
            return messenger.ConnectionCount() >= notices;
        return row.failReads ? !source.IsReading() : graph.Count(FFType::Packet) == row.steps.size();
    }));
    for (int i = 1; i <= row.late; ++i) {
        camera.Enqueue(1, false);
        ASSERT_TRUE(WaitFor([&] { return graph.Count(FFType::Packet) == row.steps.size() + size_t(i); }))
            << "late packet " << i << " stalled";
    }
    // Whether the worker sleeps on the queue or between attempts, the stop ends it.
    EXPECT_TRUE(FinishesWithin(20s, "the read thread's stop", [&] { source.StopReadThread(); }));
    source.DisconnectNode();

    EXPECT_EQ(Graph(graph.Records()), row.graph);
    ASSERT_GE(camera.script->setups.size(), 1u);
    EXPECT_EQ(Describe(camera.script->setups[0]), row.setup);
    EXPECT_EQ(messenger.messages, row.messages);
    // While the camera stays away every attempt is announced with its number,
    // a whole pause after the one before, and the source keeps trying.
    for (int attempt = 1; attempt <= row.attemptsWhileAway; ++attempt) {
        ASSERT_GT(messenger.connections.size(), size_t(attempt));
        EXPECT_EQ(messenger.connections[attempt].first, ConnectionStatus::ConnectionLost);
        EXPECT_NE(messenger.connections[attempt].second.find("attempt " + std::to_string(attempt)), std::string::npos)
            << messenger.connections[attempt].second;
        if (attempt > 1) {
            EXPECT_GE(messenger.connectionTimes[attempt] - messenger.connectionTimes[attempt - 1],
                      kScriptedReconnectPause);
        }
    }
}

const char* kDefaultSetup = "tcp filter rtcp va 10000/30000 :";

INSTANTIATE_TEST_SUITE_P(
    Scripts, CameraScripted,
    ::testing::Values(
        // A new configuration, flagged or not, is described ahead of its first packet.
        ScriptRow{"CodecChangeDescribedAheadOfItsPacket", {{1, false}, {1, false}, {2, true, 320, 240}, {2, false},
                  {3, false, 160, 120}}, "640x480 640x480 v v 320x240 v v 160x120 v ", Settings(true), kDefaultSetup},
        ScriptRow{"UnknownSizeKeepsTheOldSize", {{1, false}, {2, true, 320, 240}, {3, true, -1, -1}, {3, false}},
                  "640x480 640x480 v 320x240 v 320x240 v v ", Settings(true), kDefaultSetup},
        ScriptRow{"SettingsReachTheClientTruncated", {{1, false}}, "640x480 640x480 v ", Settings(false),
                  "udp v 999/1234 user:p@ss"},
        ScriptRow{"FailingCameraEndsTheWorkerWithAnError", {{1, false}}, "640x480 ", Settings(true), kDefaultSetup,
                  true, {FFMessageType::RTSPSourceError}},
        ScriptRow{"CameraAwayIsRetriedAPauseApart", {{1, false}}, "640x480 640x480 v ", Settings(true), kDefaultSetup,
                  false, {}, 3},
        ScriptRow{"PacketsAfterALullEachWakeTheSource", {{1, false}}, "640x480 640x480 v v v v ", Settings(true),
                  kDefaultSetup, false, {}, 0, 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct DelayRow {
    const char* name;
    const char* clip;  // made by ffmpeg from a 12-picture test pattern
    const char* codec; // ffmpeg's arguments for it
    MediaPacket::Codec cameraCodec;
    int threads; // the application's decoding threads
    // The parameter sets say no picture is ever reordered (decoded with low delay).
    bool neverReordered;
    // B-pictures: each picture may wait for later packets, but comes in display order.
    bool reorders = false;
};

class CameraPictureDelay : public ::testing::TestWithParam<DelayRow> {};

TEST_P(CameraPictureDelay, EachPictureReachesTheApplicationBeforeTheNextPacket)
{
    const DelayRow& row = GetParam();
    const Demuxed clip = Demux(MakeClip(row.clip, std::string("-f lavfi -i testsrc2=size=160x120:rate=25 ") +
                                                      "-frames:v 12 -g 12 " + row.codec),
                               true, false);
    ASSERT_EQ(clip.packets.size(), 12u);
    const AVCodecContext* described = clip.codec->video->Context();
    // The parameter sets as the camera client describes them once it saw them in band.
    const AVPacket* first = clip.packets.front()->Get();
    const std::vector<uint8_t> sets =
        FindParameterSets(described->codec_id, first->data, std::size_t(first->size)).ToAnnexB();
    EXPECT_EQ(NeverReordered(described->codec_id, sets.data(), sets.size()), row.neverReordered);

    ScriptedCameraFactory camera;
    camera.script->video = ScriptedVideo(described->width, described->height, 1);
    camera.script->video.codec = row.cameraCodec;
    camera.script->video.extradata = sets;
    FFWrapperCLI::FFWrapper player("camera_picture_delay");
    player.SetDecodingThreads(row.threads);
    ASSERT_TRUE(player.OpenSource("rtsp://camera.invalid/delay"));
    // Every picture in order: the scripted packets all say key picture, so
    // the newest-picture rule would give up the ones B-pictures refer to.
    player.SetLiveReading(FFWrapperCLI::LiveReading::Every);
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(player.StartEngine());

    FFWrapperCLI::FrameData frame;
    std::vector<double> shown; // the times of the pictures read, in reading order
    auto readOne = [&] {
        if (player.ReadFrameGetSize(&frame) <= 0)
            return false;
        shown.push_back(frame.frameTime);
        return true;
    };
    std::vector<double> sent;
    for (size_t i = 0; i < clip.packets.size(); ++i) {
        const AVPacket* p = clip.packets[i]->Get();
        const int64_t ticks = av_rescale_q(p->pts, clip.videoTimeBase, AVRational{1, 90000});
        sent.push_back(double(ticks) / 90000.0);
        camera.Enqueue(1, false, std::nullopt, std::vector<uint8_t>(p->data, p->data + p->size), ticks);
        if (!row.reorders) {
            ASSERT_TRUE(WaitFor([&] { return readOne(); }, 10s)) << "picture " << i << " waits for a later packet";
            EXPECT_NEAR(shown.back() - shown.front(), sent.back() - sent.front(), 1e-3) << "picture " << i;
        } else if (i >= 3) {
            // Held back at most: the reorder depth of the stream (2) and the
            // picture being decoded when one leaves.
            ASSERT_TRUE(WaitFor([&] { return readOne() || shown.size() + 3 > i; }, 10s))
                << "after packet " << i << ", " << shown.size() << " pictures";
        }
    }
    while (readOne()) {
    }
    player.StopEngine();
    EXPECT_GE(shown.size(), row.reorders ? clip.packets.size() - 3 : clip.packets.size());
    for (size_t i = 1; i < shown.size(); ++i)
        EXPECT_GT(shown[i], shown[i - 1]) << "picture " << i << " out of display order";
}

// One thread, several (slice threads for a camera, never frame threads,
// which hold each picture back), and the automatic choice; a stream with
// B-pictures still comes in display order.
INSTANTIATE_TEST_SUITE_P(
    Cameras, CameraPictureDelay,
    ::testing::Values(
        DelayRow{"H264BaselineOneThread", "delay_baseline.ts", "-c:v libx264 -profile:v baseline", MediaPacket::H264, 1,
                 true},
        DelayRow{"H264BaselineFourThreads", "delay_baseline.ts", "-c:v libx264 -profile:v baseline", MediaPacket::H264,
                 4, true},
        DelayRow{"H264HighScalingListsAutomaticThreads", "delay_high_cqm.ts",
                 "-c:v libx264 -profile:v high -bf 0 -x264-params cqm=jvt", MediaPacket::H264, 0, true},
        DelayRow{"HevcFourThreads", "delay_hevc.ts", "-c:v libx265 -x265-params bframes=0:log-level=error",
                 MediaPacket::HEVC, 4, false},
        DelayRow{"MjpegFourThreads", "delay_mjpeg.avi", "-c:v mjpeg -q:v 5", MediaPacket::MJPEG, 4, true},
        DelayRow{"H264BPicturesKeepDisplayOrder", "delay_bframes.ts",
                 "-c:v libx264 -profile:v high -bf 2 -x264-params cqm=jvt", MediaPacket::H264, 1, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// H.265: IRAP units (types 16 to 23) make a key picture; H.264: an IDR slice.
// Slices (H.265 types 0 to 31, H.264 1 to 5) make a picture.
TEST(CameraKeyPictures, EveryNalTypeIsJudgedByTheStandard)
{
    for (int type = 0; type < 64; ++type) {
        const uint8_t hevc[] = {0, 0, 0, 1, uint8_t(type << 1), 1, 0xAA};
        EXPECT_EQ(HasKeyPicture(AV_CODEC_ID_HEVC, hevc, sizeof hevc), type >= 16 && type <= 23) << "H.265 " << type;
        const uint8_t h264[] = {0, 0, 0, 1, uint8_t(0x60 | (type & 0x1F)), 0xAA};
        EXPECT_EQ(HasKeyPicture(AV_CODEC_ID_H264, h264, sizeof h264), (type & 0x1F) == 5) << "H.264 " << type;
        // A camera that goes away mid access unit leaves a delimiter (or
        // parameter sets) alone: no picture, so not recorded.
        EXPECT_EQ(HasPicture(AV_CODEC_ID_HEVC, hevc, sizeof hevc), type <= 31) << "H.265 " << type;
        EXPECT_EQ(HasPicture(AV_CODEC_ID_H264, h264, sizeof h264), (type & 0x1F) >= 1 && (type & 0x1F) <= 5)
            << "H.264 " << type;
    }
    const uint8_t delimiterThenSlice[] = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x9A};
    EXPECT_TRUE(HasPicture(AV_CODEC_ID_H264, delimiterThenSlice, sizeof delimiterThenSlice));
    EXPECT_FALSE(HasPicture(AV_CODEC_ID_H264, delimiterThenSlice, 6));
    EXPECT_TRUE(HasPicture(AV_CODEC_ID_MJPEG, delimiterThenSlice, 6));
}

} // namespace

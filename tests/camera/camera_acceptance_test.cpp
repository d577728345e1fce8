// The real test camera (spawned per test on 127.0.0.1) through the facades:
// playing each mount over TCP/UDP with and without a login while recording
// it to a container across a camera killed and restarted, with wall-clock
// sync points; and serving.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "camera/PictureStamp.h"
#include "camera/RtspTestServer.h"
#include "engine/FFEngine.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"
#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"
#include "source/FFRTSPSource.h"
#include "support/ArrivalLog.h"
#include "support/EnginePlayback.h"
#include "support/FacadeEvents.h"
#include "support/QuickRetryEngine.h"
#include "support/RecordedPackets.h"
#include "support/TestMedia.h"
#include "support/ToneAnalysis.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using QuilletTest::PictureStamp;
using QuilletTest::ReadPictureStamp;
using QuilletTest::RtspTestServer;

namespace {

// The moving-ball pattern: a small bright disc on black. Returns the disc's
// centre, or {-1, -1} when the picture is something else (grey, noise).
std::pair<double, double> BallCentre(const FrameData& frame)
{
    const uint8_t* bgr = frame.frame.data();
    size_t dark = 0, bright = 0;
    double sx = 0, sy = 0;
    int minX = frame.width, maxX = -1, minY = frame.height, maxY = -1;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            const uint8_t* p = bgr + (size_t(y) * frame.width + x) * 3;
            const int luma = (p[0] + 2 * p[1] + p[2]) / 4;
            dark += luma < 40;
            if (luma > 200) {
                ++bright, sx += x, sy += y;
                minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
            }
        }
    const size_t all = size_t(frame.width) * frame.height;
    const bool ball = dark > all * 8 / 10 && bright > all / 1000 && maxX - minX < frame.width / 3 &&
                      maxY - minY < frame.height / 3;
    return ball ? std::make_pair(sx / bright, sy / bright) : std::make_pair(-1.0, -1.0);
}

class LiveCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        folder = FreshFolder("camera_acceptance");
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    void StartServer(std::vector<std::string> arguments = {}) { ASSERT_TRUE(server.Start(arguments)) << server.Error(); }

    FacadeEvents events; // outlives the facades it listens to
    RtspTestServer server;
    std::string folder;
};

// ------------------------------------------------------------------ playing and recording

struct LiveCase {
    const char* name;
    const char* mount;
    bool tcp;
    bool login; // the camera demands Digest credentials
    int rate, channels;
    bool tone;                  // G.711: the decoded sound is checked sample by sample
    const char* extension = ""; // recorded to "cam<extension>"; "": played only
    std::chrono::milliseconds length{}; // of each recorded connection
    int connections = 0;        // the camera is killed after each and restarted between them
    const char* tag = "";       // expected video tag, "" for any
    bool allKey = false;
    int threads = 1;            // decoding threads for the shown pictures
};

class LiveStream : public LiveCamera, public ::testing::WithParamInterface<LiveCase> {};

// The application is shown the camera's moving ball at its clock and hears
// its tone. A recording holds every packet received in well-formed files that
// start at a key picture; after a restart of the camera it goes on in "_%1"
// from a key picture, and the player hears of the loss twice: from the source
// as it happens and from the decoder as the notice passes its picture queue.
// Each sync point carries the wall clock at which its picture arrived once the
// camera's RTCP reports are in, and is flagged untrusted before.
TEST_P(LiveStream, ThePicturesSoundAndRecordingOfTheCameraReachTheApplication)
{
    const LiveCase& c = GetParam();
    StartServer(c.login ? std::vector<std::string>{"--auth", "viewer:Secr3t-pw"} : std::vector<std::string>{});
    const std::string port = server.Url().substr(server.Url().rfind(':') + 1);
    ArrivalLog probe;
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = c.tcp;
    settings->username = c.login ? "viewer" : "", settings->password = c.login ? "Secr3t-pw" : "";
    settings->decodingThreads = c.threads;
    auto* engine = new QuickRetryEngine<FFFileEngine>("camera_live", settings);
    FFFileWrapper player(engine);
    events.Attach(player);
    RecordingHost host(4096, 1);
    const size_t kBlock = 2048; // samples per buffer
    ASSERT_TRUE(player.OpenSource(server.Url() + c.mount)) << events.Text();
    engine->Attach(&probe);
    EXPECT_EQ(std::make_pair(player.Width(), player.Height()), std::make_pair(640, 480));
    int rate = 0, bits = 0, channels = 0;
    EXPECT_EQ(player.GetAudioFormat(rate, bits, channels), c.rate > 0);
    EXPECT_EQ(std::vector<int>({rate, channels}), std::vector<int>({c.rate, c.channels}));
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    if (*c.extension)
        player.SaveToVideoFile(folder + "/cam" + c.extension);
    const auto started = Clock::now();
    ASSERT_TRUE(player.StartEngine());
    player.SetAudioInterface(&host);

    // The first connection's first 50 pictures are looked at (a restarted
    // camera starts its clock again); later ones are only taken.
    FrameData frame;
    int pictures = 0;
    bool looking = true;
    double firstTime = -1, lastTime = -1;
    Clock::duration firstAfter{};
    std::vector<std::pair<double, double>> balls;
    // The camera's capture times: never backwards, across the restarts too;
    // untrusted until the first sender report (5 s apart by default), then trusted.
    std::chrono::system_clock::time_point lastCapture{};
    int trustedPictures = 0, untrustedPictures = 0;
    bool firstTrusted = false;
    auto checkCapture = [&](int index) {
        EXPECT_GE(frame.captureTime, lastCapture) << "capture times run backwards";
        const auto age = std::chrono::system_clock::now() - frame.captureTime;
        EXPECT_TRUE(age > -5ms && age < 10s) << "the capture time is not this camera's picture's";
        lastCapture = frame.captureTime;
        (frame.captureTimeTrusted ? trustedPictures : untrustedPictures) += 1;
        if (index == 0)
            firstTrusted = frame.captureTimeTrusted;
    };
    // Shows pictures and plays sound until `done` holds; false after `limit`.
    auto playUntil = [&](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        return WaitFor([&] {
            player.ReadAudioFromInterface();
            for (int size; looking && pictures < 50 && (size = player.ReadFrameGetSize(&frame)) != 0; ++pictures) {
                EXPECT_EQ(size, 640 * 480 * 3) << "a live camera has no end";
                if (pictures == 0)
                    firstAfter = Clock::now() - started, firstTime = frame.frameTime;
                EXPECT_GE(frame.frameTime, lastTime) << "pictures come in time order";
                lastTime = frame.frameTime;
                checkCapture(pictures);
                if (pictures % 10 == 0)
                    balls.push_back(BallCentre(frame));
            }
            while ((!looking || pictures >= 50) && player.ReadFrameGetSize(&frame) > 0)
                checkCapture(-1);
            return done();
        }, limit);
    };
    if (!*c.extension)
        playUntil([&] { return pictures >= 50 && host.Samples().size() >= (c.rate > 0 ? 4 * kBlock : 0u); }, 10s);
    const std::string lost = "2 RTSP connection lost, reconnection attempt 1";
    for (int connection = 1; connection <= c.connections; ++connection) {
        if (connection > 1) {
            playUntil([] { return false; }, 400ms); // at least one refused attempt
            StartServer({"--port", port});
            ASSERT_TRUE(playUntil([&] { return events.Count("0 RTSP connection reestablished") >= 1; }, 10s))
                << events.Text();
        }
        playUntil([] { return false; }, c.length);
        server.Kill(); // ends on a loss, so every packet received is in a file
        looking = false;
        ASSERT_TRUE(playUntil([&] { return events.Count(lost) >= size_t(connection); }, 20s)) << events.Text();
    }
    playUntil([] { return false; }, 300ms); // the write thread drains every 100 ms
    player.StopVideoSave();
    player.StopEngine();
    player.CloseSource();
    EXPECT_LT(firstAfter, 2s) << "first picture after starting";
    // The test camera's encoder slows down on a loaded machine; the times below are the exact check.
    EXPECT_GE(pictures, 25) << "pictures keep coming";
    // A starved camera drops pictures, which only widens the span; a wrong
    // time base changes it by a factor.
    const double span = lastTime - firstTime, expectedSpan = (pictures - 1) / 25.0;
    EXPECT_GT(span, expectedSpan - 0.1) << "picture times follow the camera's clock";
    EXPECT_LT(span, expectedSpan * 1.5 + 0.1) << "picture times follow the camera's clock";
    ASSERT_GE(balls.size(), 3u);
    for (const auto& b : balls)
        EXPECT_GE(b.first, 0.0) << "not the moving-ball picture";
    EXPECT_NE(balls.front(), balls.back()) << "the ball moves";
    if (c.tone) {
        // The tone, and nothing but it, in the cleanest block (mu-law
        // decoding of A-law bytes stays far below; one block may straddle a
        // lost packet).
        const std::vector<int16_t> pcm = host.Samples();
        ASSERT_GE(pcm.size(), 3 * kBlock);
        Tone tone;
        std::string all;
        for (size_t at = kBlock; at + kBlock <= std::min(pcm.size(), 9 * kBlock); at += kBlock) {
            const auto t = FindTone(std::vector<int16_t>(pcm.begin() + long(at), pcm.begin() + long(at + kBlock)), c.rate);
            all += std::to_string(t.frequency) + " Hz " + std::to_string(t.snrDb) + " dB; ";
            tone = t.snrDb > tone.snrDb ? t : tone;
        }
        EXPECT_NEAR(tone.frequency, 440.0, 5.0) << all;
        EXPECT_GT(tone.snrDb, 30.0) << all;
    }
    EXPECT_FALSE(firstTrusted) << "the first picture came before any sender report";
    EXPECT_GT(untrustedPictures, 0);
    EXPECT_TRUE(trustedPictures > 0 || c.length < 10s) << "trusted once a sender report came";
    EXPECT_EQ(events.Count("0 RTSP connected"), size_t(std::max(1, c.connections))) << events.Text();
    // Each loss is told once (its first attempt), not again by the reader.
    EXPECT_EQ(events.Count(lost), size_t(c.connections)) << events.Text();
    EXPECT_EQ(events.Count("message 3"), 0u) << events.Text();
    if (!*c.extension)
        return;

    const auto expected = probe.Recordable();
    for (int segment = 0; segment < c.connections; ++segment) {
        const std::string file = folder + (segment == 0 ? "/cam" : "/cam_%1") + c.extension;
        const WrittenFile r = ReadWritten(file);
        ExpectWellFormed(r, file);
        EXPECT_EQ(Hashes(r.video).size(), size_t(expected.at(segment))) << file << " among" << FolderListing(folder);
        // A loaded machine slows the test camera's encoder; the count above is the real check.
        EXPECT_GT(r.video.size(), 10 * size_t(c.length / 1s)) << file;
        // The first packet alone decodes to a key picture: it carries, or follows, its parameter sets.
        const std::string first = Capture("ffprobe -v error -select_streams v:0 -read_intervals %+#1 -show_entries "
                                          "frame=key_frame:stream=codec_tag_string -of default=nw=1 '" + file + "' 2>&1");
        EXPECT_EQ(first.rfind("key_frame=1\ncodec_tag_string=" + std::string(c.tag), 0), 0u) << file << ":\n" << first;
        EXPECT_TRUE(!c.allKey || std::all_of(r.video.begin(), r.video.end(), [](const auto& p) { return p.key; }))
            << "every Motion JPEG packet is a key picture";
    }

    const auto arrivals = probe.Arrivals();
    const auto points = events.SyncPoints();
    ASSERT_GE(points.size(), size_t(2 * c.connections)) << "start and end of each file";
    EXPECT_FALSE(points.front().isGood) << "the first picture came before any sender report";
    int good = 0;
    for (const auto& point : points) {
        const int64_t pcTimeUs = point.PCTimeUTC.time_since_epoch() / std::chrono::microseconds(1);
        const auto match = std::find_if(arrivals.begin(), arrivals.end(),
                                        [&](const auto& a) { return a.liveTime / 10 == pcTimeUs; });
        ASSERT_NE(match, arrivals.end()) << pcTimeUs;
        EXPECT_EQ(point.isGood, match->liveFlag);
        if (point.isGood) {
            ++good;
            const int64_t lagMs = (match->arrivedTicks - match->liveTime) / 10000;
            EXPECT_GE(lagMs, -5) << "a picture cannot arrive before it was taken";
            // Agrees with this PC's clock at arrival, give or take the
            // seconds a starved camera process sends its pictures late; a
            // wrong clock, unit or epoch is off by far more.
            EXPECT_LT(lagMs, 10000) << "wall-clock time agrees with this PC's clock at arrival";
        }
    }
    EXPECT_TRUE(good > 0 || c.length < 10s) << "a ten-second recording ends after the first sender report";
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, LiveStream,
    // Frame threads across a connection loss, and slice threads, on the cameras that record.
    ::testing::Values(LiveCase{"HevcAlawTcpMp4", "/hevc", true, false, 8000, 1, true, ".mp4", 5s, 2, "hvc1", false, 3},
                      LiveCase{"HevcAlawUdp", "/hevc", false, false, 8000, 1, true},
                      LiveCase{"HevcWithLoginTcpMkv", "/hevc", true, true, 8000, 1, true, ".mkv", 10s, 1},
                      LiveCase{"MjpegTcpMkv", "/mjpeg", true, false, 0, 0, false, ".mkv", 3s, 1, "", true},
                      LiveCase{"H264AacTcpTs", "/test", true, false, 48000, 2, false, ".ts", 10s, 1, "", false, 0},
                      LiveCase{"H264MulawUdp", "/pcmu", false, false, 8000, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ pictures whole and at once

struct StampedCase {
    const char* name;
    const char* mount;
    bool tcp;
    bool lossy; // the camera drops 1 % of its RTP packets on the way
};

class StampedStream : public LiveCamera, public ::testing::WithParamInterface<StampedCase> {};

// A camera that codes each picture in several slices and stamps its capture
// time and number into every band of it (stamp_camera.py): every picture the
// application reads is whole and newer than the one before, and the
// recording holds each picture as one packet that decodes whole. With packets
// lost on the way the pictures keep coming, and a broken picture is followed
// by whole ones again from the next key picture on (one a second).
TEST_P(StampedStream, EveryPictureIsWholeAndRecordedAsOnePacket)
{
    const StampedCase& c = GetParam();
    ASSERT_TRUE(server.Start({"--width", "640", "--height", "360", "--bitrate", "1500"},
                             RtspTestServer::Camera::Stamped)) << server.Error();
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = c.tcp;
    settings->decodingThreads = 1;
    auto* engine = new QuickRetryEngine<FFFileEngine>("camera_stamped", settings);
    FFFileWrapper player(engine);
    events.Attach(player);
    ASSERT_TRUE(player.OpenSource(server.Url() + c.mount)) << events.Text();
    player.SetLiveReading(LiveReading::Every);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    const std::string file = folder + "/cam.mkv";
    if (!c.lossy)
        player.SaveToVideoFile(file);
    ASSERT_TRUE(player.StartEngine());

    struct Shown {
        std::optional<PictureStamp> stamp;
        Clock::time_point at;
        int64_t captureMs;
        bool trusted;
    };
    std::vector<Shown> shown;
    FrameData frame;
    const size_t wanted = c.lossy ? 250 : 125;
    WaitFor([&] {
        while (shown.size() < wanted && player.ReadFrameGetSize(&frame) > 0)
            shown.push_back({ReadPictureStamp(frame.frame.data(), frame.width, frame.height, frame.width * 3, 3),
                             Clock::now(), frame.captureTime.time_since_epoch() / 1ms, frame.captureTimeTrusted});
        return shown.size() >= wanted;
    }, 60s);
    player.StopVideoSave();
    player.StopEngine();
    player.CloseSource();
    ASSERT_GE(shown.size(), wanted) << "pictures stopped coming";

    size_t whole = 0;
    int64_t lastNumber = -1, brokenSince = -1;
    Clock::duration longestGap{};
    for (size_t i = 0; i < shown.size(); ++i) {
        if (i > 0)
            longestGap = std::max(longestGap, shown[i].at - shown[i - 1].at);
        if (!shown[i].stamp) {
            EXPECT_TRUE(c.lossy) << "picture " << i << " of " << shown.size() << " is not whole";
            if (brokenSince < 0)
                brokenSince = lastNumber;
            continue;
        }
        ++whole;
        // This camera reports every second: its clock, read from its sender
        // reports, gives the time stamped into the picture (the first ones
        // trusted may be held back to the arrival times before them, so
        // that times never run backwards).
        if (shown[i].trusted && i >= 50) {
            EXPECT_NEAR(double(shown[i].captureMs), double(shown[i].stamp->captureMs), 20.0) << "picture " << i;
        }
        const int64_t number = shown[i].stamp->number;
        EXPECT_GT(number, lastNumber) << "picture " << i << " is older than the one before";
        // Broken pictures heal at the next key picture that arrives whole
        // (one a second; a key picture may lose a packet too).
        EXPECT_TRUE(brokenSince < 0 || number - brokenSince <= 4 * 25) << "broken from " << brokenSince << " to " << number;
        brokenSince = -1;
        lastNumber = number;
    }
    EXPECT_LT(longestGap, 1s) << "the pictures froze";
    EXPECT_GE(whole, shown.size() / 3);
    if (c.lossy)
        return;

    // The recording: one packet per picture, each decoding whole, no decoder complaint.
    const WrittenFile r = ReadWritten(file);
    ExpectWellFormed(r, file);
    const std::string gray = folder + "/cam.gray";
    const std::string complaints =
        Capture("ffmpeg -v error -i '" + file + "' -vsync passthrough -enc_time_base 1:1000 -f rawvideo -pix_fmt gray -y '" + gray + "' 2>&1");
    EXPECT_EQ(complaints, "") << "the decoder found damage in the recording";
    std::ifstream in(gray, std::ios::binary);
    std::vector<uint8_t> picture(640 * 360);
    std::set<uint32_t> recorded;
    size_t decoded = 0;
    while (in.read(reinterpret_cast<char*>(picture.data()), long(picture.size()))) {
        ++decoded;
        const auto stamp = ReadPictureStamp(picture.data(), 640, 360, 640, 1);
        ASSERT_TRUE(stamp) << "recorded picture " << decoded << " is not whole";
        recorded.insert(stamp->number);
    }
    EXPECT_EQ(r.video.size(), decoded) << "one packet per picture";
    EXPECT_EQ(recorded.size(), decoded) << "each picture once";
    for (const Shown& s : shown)
        EXPECT_EQ(recorded.count(s.stamp->number), 1u) << "a shown picture missing from the recording";
}

INSTANTIATE_TEST_SUITE_P(Slices, StampedStream,
                         ::testing::Values(StampedCase{"H264SlicesTcp", "/slices", true, false},
                                           StampedCase{"H264SlicesUdp", "/slices", false, false},
                                           StampedCase{"HevcSlicesTcp", "/hevc-slices", true, false},
                                           StampedCase{"H264LossyUdp", "/lossy", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ serving

TEST_F(LiveCamera, HevcServedAndPlayedRemotelyEqualsDirectPlaybackPictureForPicture)
{
    StartServer();
    FFPlayServerWrapper direct("camera_serve");
    direct.SetSource(server.Url() + "/hevc");
    direct.SetLiveReading(LiveReading::Every); // picture for picture, as the remote player shows them
    FFOutgoingHandle client = direct.AddClient();
    ASSERT_TRUE(client);
    FFRemoteWrapper remote("camera_remote");
    for (FFWrapper* player : std::initializer_list<FFWrapper*>{&direct, &remote})
        player->EnableAudio(false), player->DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(direct.StartEngine());
    std::vector<PictureHash> local, remotePictures;
    // Until both have shown enough to compare (a slow build decodes slowly).
    const auto end = Clock::now() + 30s;
    while (Clock::now() < end && (remotePictures.size() < 60 || local.size() < 60)) {
        const auto batch = client->GetNextPacket();
        if (!batch.empty()) {
            ASSERT_TRUE(FeedBlock(remote, batch, remotePictures));
        }
        TakeReadyPictures(direct, local);
        TakeReadyPictures(remote, remotePictures);
        std::this_thread::sleep_for(1ms);
    }
    direct.StopEngine();
    direct.CloseSource();
    // The remote player may begin later, never elsewhere: from its first
    // picture on, both show the same pictures.
    ASSERT_FALSE(remotePictures.empty());
    const auto start = std::find_if(local.begin(), local.end(),
                                    [&](const PictureHash& p) { return p.hash == remotePictures.front().hash; });
    ASSERT_NE(start, local.end()) << "the remote player's first picture was never shown directly";
    const size_t both = std::min(remotePictures.size(), size_t(local.end() - start));
    EXPECT_GE(both, 50u);
    for (size_t i = 0; i < both; ++i)
        ASSERT_EQ(remotePictures[i].hash, start[i].hash) << "picture " << i;
}

} // namespace

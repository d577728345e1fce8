// Publishing to real receivers on 127.0.0.1: every video packet of a file
// arrives from the first key picture on over every transport, HLS playlists
// roll and play, and a lost receiver is reconnected while playback and
// recording go on, the camera arriving as a playable stream of the length
// published. A receiver is an ffmpeg listening for one protocol and copying
// what it gets into an MPEG-TS file. (The RTSP receiver, whoever publishes to
// it, cannot time the first picture of a stream with B-frames; cameras send
// none.)
#include <fnmatch.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "camera/RtspTestServer.h"
#include "facade/FFFileWrapper.h"
#include "publish/PublishTarget.h"
#include "serving/ServingTestSupport.h"
#include "support/MediaOracle.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet::Testing;
using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

enum class Transport { Rtsp, Rtmp, Srt };

class Receiver {
public:
    Receiver(Transport transport, std::string file)
        : _transport(transport), _port(QuilletTest::UnusedLocalPort()), _file(std::move(file))
    {
        const std::string host = "127.0.0.1:" + std::to_string(_port);
        _url = transport == Transport::Rtsp ? "rtsp://" + host + "/live"
               : transport == Transport::Rtmp ? "rtmp://" + host + "/live/x"
                                              : "srt://" + host;
    }

    // Starts (again) to listen on the same port; into `file` when given.
    bool Listen(const std::string& file = {})
    {
        if (!file.empty())
            _file = file;
        std::vector<std::string> args{"ffmpeg", "-nostdin", "-v", "error", "-y"};
        if (_transport == Transport::Rtsp)
            args.insert(args.end(), {"-rtsp_flags", "listen", "-i", _url});
        else if (_transport == Transport::Rtmp)
            args.insert(args.end(), {"-listen", "1", "-i", _url});
        else
            args.insert(args.end(), {"-i", _url + "?mode=listener"});
        args.insert(args.end(), {"-c", "copy", "-f", "mpegts", _file});
        // A loaded machine can take seconds to start ffmpeg, under the sanitizers more.
        return _process.Start(args, _file + ".log") && WaitForLocalPort(_port, _transport == Transport::Srt, 30s);
    }

    // Waits for the receiver to finish its file after the publisher left.
    void Finish()
    {
        if (_process.Wait(std::chrono::seconds(8)) < 0)
            _process.Kill(SIGINT); // ffmpeg still closes the file properly
    }

    void Kill() { _process.Kill(SIGKILL); }
    const std::string& Url() const { return _url; }
    const std::string& File() const { return _file; }
    std::string Log() const { return _process.Log(); }

private:
    Transport _transport;
    int _port;
    std::string _file;
    std::string _url;
    ChildProcess _process;
};

// Whether ffmpeg decodes the whole file without an error.
inline bool Plays(const std::string& file)
{
    return Run("ffmpeg -nostdin -v error -xerror -i " + file + " -map 0:v -f null - >/dev/null 2>&1") == 0;
}

// Polls the facade's output list until `done` holds for every output.
template <typename Done>
bool WaitForOutputs(FFWrapper& publisher, Done done, std::chrono::milliseconds limit)
{
    return WaitFor([&] {
        const auto all = publisher.GetPublishingStatus();
        return !all.empty() && std::all_of(all.begin(), all.end(), done);
    }, limit);
}

bool IsPublishing(const PublishingStatus& s) { return s.state == PublishingState::Publishing && s.packets > 0; }
bool IsFinished(const PublishingStatus& s) { return s.state == PublishingState::Finished; }
std::string Unique(const std::string& stem) { return stem + "_" + std::to_string(getpid()); }

// Publishes `clip` to `url` until the output has finished; the source stays open.
void PublishToTheEnd(FFWrapper& publisher, const std::string& clip, const std::string& url)
{
    ASSERT_TRUE(publisher.OpenSource(clip));
    ASSERT_TRUE(publisher.StartPublishing(url));
    ASSERT_TRUE(publisher.StartEngine());
    ASSERT_TRUE(WaitForOutputs(publisher, IsFinished, 30s));
}

// A file published over each transport. B-frames over RTMP and SRT; the RTSP
// receiver takes none (see Receiver). A transport stream's ADTS sound over
// RTSP: the session description needs the decoder configuration before the
// first packet has come.
struct TransportCase {
    const char* name;
    Transport transport;
    std::string (*clip)();
    bool sound; // the sound arrives as one unbroken run of the source's packets
};

const std::string kPublishAv = "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                               "-t 2 -c:v libx264 -bf 0 -g 10 -sc_threshold 0 ";
std::string NoBFramesMp4() { return MakeClip("publish_no_bframes.mp4", kPublishAv + "-video_track_timescale 25 -c:a aac"); }
std::string AdtsTs() { return MakeClip("publish_adts_no_bframes.ts", kPublishAv + "-c:a aac"); }

class PublishTransport : public ::testing::TestWithParam<TransportCase> {};

} // namespace

TEST_P(PublishTransport, FileSourceDeliversEveryVideoPacketFromTheFirstKeyPicture)
{
    const TransportCase& c = GetParam();
    if (c.transport == Transport::Srt && !Quillet::SrtAvailable())
        GTEST_SKIP() << "this FFmpeg has no SRT";
    const std::string clip = c.clip();
    Receiver receiver(c.transport, Unique(std::string("file_") + c.name) + ".ts");
    ASSERT_TRUE(receiver.Listen()) << receiver.Log();

    FFWrapper publisher("publish");
    ASSERT_NO_FATAL_FAILURE(PublishToTheEnd(publisher, clip, receiver.Url())) << receiver.Log();
    const auto status = publisher.GetPublishingStatus().at(0);
    EXPECT_TRUE(publisher.StopPublishing(receiver.Url()));
    publisher.CloseSource();
    receiver.Finish();

    const PayloadHashes sent = ReadPayloads(clip), arrived = ReadPayloads(receiver.File());
    ASSERT_EQ(sent.video.size(), 50u);
    EXPECT_EQ(arrived.video, sent.video) << receiver.Log();
    EXPECT_GT(status.bytes, 0u);
    EXPECT_GE(status.packets, sent.video.size());
    EXPECT_EQ(status.reconnects, 0u);
    if (!c.sound)
        return;
    // The output starts at the first picture (one sound packet before it in
    // this clip is not sent), and the receiver stops with the session, which
    // may cut off the two after the last picture.
    ASSERT_GE(arrived.audio.size() + 3, sent.audio.size()) << receiver.Log();
    EXPECT_NE(std::search(sent.audio.begin(), sent.audio.end(), arrived.audio.begin(), arrived.audio.end()),
              sent.audio.end()) << receiver.Log();
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishTransport,
                         ::testing::Values(TransportCase{"rtsp", Transport::Rtsp, &NoBFramesMp4, false},
                                           TransportCase{"rtmp", Transport::Rtmp, &ServingClip, false},
                                           TransportCase{"srt", Transport::Srt, &ServingClip, false},
                                           TransportCase{"RtspTsSound", Transport::Rtsp, &AdtsTs, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Publish, RefusesWhatTheProtocolCannotCarry)
{
    // RTMP takes H.264 and AAC only; unknown schemes nothing.
    const std::string mpeg4 = MakeClip("publish_mpeg4.avi", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 1 -c:v mpeg4");
    FFWrapper publisher("publish");
    ASSERT_TRUE(publisher.OpenSource(mpeg4));
    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort()) + "/live/x";
    EXPECT_FALSE(publisher.StartPublishing("ftp://127.0.0.1/x"));
    EXPECT_FALSE(publisher.StartPublishing("out/live.m3u8?window=0"));
    ASSERT_TRUE(publisher.StartPublishing(rtmp));
    ASSERT_TRUE(WaitForOutputs(
        publisher, [](const PublishingStatus& s) { return s.state == PublishingState::Failed; }, 10s));
    EXPECT_NE(publisher.GetPublishingStatus().at(0).lastError.find("H.264"), std::string::npos);
}

class PublishHls : public ::testing::TestWithParam<std::string> {};

TEST_P(PublishHls, PlaylistRollsOverSegmentsThatStartAtKeyPicturesAndPlay)
{
    const std::string ext = GetParam() == "ts" ? ".ts" : ".m4s";
    const fs::path folder = FreshFolder("hls_" + GetParam());
    const std::string playlist = (folder / "live.m3u8").string();
    constexpr size_t kWindow = 2;
    FFWrapper publisher("publish"); // 2 s, a key picture every 0.4 s
    ASSERT_NO_FATAL_FAILURE(
        PublishToTheEnd(publisher, ServingClip(), playlist + "?segments=" + GetParam() + "&window=2&time=0.3"));
    publisher.CloseSource();

    std::vector<std::string> listed;
    std::ifstream in(playlist);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            listed.push_back(line);
    ASSERT_EQ(listed.size(), kWindow) << ::testing::PrintToString(listed);
    EXPECT_EQ(listed.front(), "live3" + ext);
    // Five segments were made (one per key picture); one beyond the window stays.
    size_t segments = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        segments += entry.path().extension() != ".m3u8" && entry.path().filename() != "init.mp4";
    EXPECT_EQ(segments, kWindow + 1);
    EXPECT_FALSE(fs::exists(folder / ("live0" + ext)));
    for (const auto& name : listed) {
        // A segment alone (after the fMP4 header) must begin with a key picture.
        const fs::path piece = folder / ("probe_" + name + ".mp4");
        std::ofstream out(piece, std::ios::binary);
        for (const fs::path& part : {folder / "init.mp4", folder / name})
            if (fs::exists(part))
                out << std::ifstream(part, std::ios::binary).rdbuf();
        out.close();
        EXPECT_TRUE(ProbeVideo(piece.string()).startsWithKey) << name;
    }
    EXPECT_TRUE(Plays(playlist));
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishHls, ::testing::Values("ts", "fmp4"));

// Source container -> segment container: every packet of every stream in the
// bitstream form the segments need (ADTS sound into fMP4, length-prefixed
// pictures into MPEG-TS).
class PublishHlsPair : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(PublishHlsPair, PlaylistHoldsEveryPacketOfEachStream)
{
    const auto& [source, segments] = GetParam();
    const std::string clip = source == "mp4" ? ServingClip() : MakeClip("publish_adts.ts",
        "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
        "-t 2 -c:v libx264 -bf 2 -g 10 -c:a aac -output_ts_offset 10");
    const fs::path folder = FreshFolder("hls_" + source + "_to_" + segments);
    const std::string playlist = (folder / "live.m3u8").string();
    FFWrapper publisher("publish");
    ASSERT_NO_FATAL_FAILURE(PublishToTheEnd(publisher, clip, playlist + "?segments=" + segments + "&window=100"));
    publisher.CloseSource();
    const PayloadHashes sent = ReadPayloads(clip), published = ReadPayloads(playlist);
    EXPECT_EQ(published.video, sent.video);
    EXPECT_EQ(published.audio, sent.audio);
    EXPECT_TRUE(Plays(playlist));
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishHlsPair,
                         ::testing::Values(std::make_pair("ts", "fmp4"), std::make_pair("mp4", "ts")),
                         [](const auto& info) { return info.param.first + "To" + info.param.second; });

TEST(Publish, ReconnectsAfterTheReceiverIsGoneWhilePlaybackAndRecordingGoOn)
{
    if (!QuilletTest::RtspTestServer::Available())
        GTEST_SKIP() << "no RTSP test camera";
    QuilletTest::RtspTestServer camera;
    ASSERT_TRUE(camera.Start()) << camera.Error();
    Receiver first(Transport::Rtmp, Unique("reconnect_1") + ".ts");
    ASSERT_TRUE(first.Listen());
    const std::string recording = Unique("reconnect_rec") + ".mp4";

    FFFileWrapper engine("publish");
    ASSERT_TRUE(engine.OpenSource(camera.Url() + "/test"));
    engine.DecodeVideo(AV_PIX_FMT_BGRA);
    engine.SaveToVideoFile(recording);
    ASSERT_TRUE(engine.StartPublishing(first.Url()));
    ASSERT_TRUE(engine.StartEngine());
    std::atomic<int> pictures{0};
    std::atomic<double> cameraTime{-1.0}; // of the newest picture shown: the camera's clock
    std::jthread player([&](std::stop_token playing) { // stopped and joined however the test ends
        FrameData frame;
        while (!playing.stop_requested()) {
            if (engine.ReadFrameGetSize(&frame) > 0)
                ++pictures, cameraTime = frame.frameTime;
            else
                std::this_thread::sleep_for(5ms);
        }
    });
    // Waits until the camera's clock has gone `seconds` past `from`.
    const auto cameraPast = [&](double from, double seconds) {
        return WaitFor([&] { return cameraTime >= from + seconds; }, 30s);
    };

    ASSERT_TRUE(WaitForOutputs(engine, IsPublishing, 20s));
    ASSERT_TRUE(WaitFor([&] { return cameraTime >= 0.0; }, 20s));
    const double publishing = cameraTime;
    ASSERT_TRUE(cameraPast(publishing, 2.0));
    first.Kill();
    ASSERT_TRUE(WaitForOutputs(
        engine, [](const PublishingStatus& s) { return s.state == PublishingState::Retrying; }, 15s));
    // While the receiver is gone the queue holds no more than a key picture's
    // group, and playback goes on: a second of pictures is shown meanwhile.
    const int picturesBefore = pictures;
    uint64_t mostQueued = 0;
    EXPECT_TRUE(WaitFor([&] {
        mostQueued = std::max(mostQueued, engine.GetPublishingStatus().at(0).queued);
        return pictures - picturesBefore > 25;
    }, 20s)) << "playback stopped while the receiver was gone";
    EXPECT_LT(mostQueued, 150u);
    bool pending = false;
    EXPECT_TRUE(engine.IsVideoSave(pending)) << "recording stopped while the receiver was gone";

    // Back on the same port: the next attempt of the back-off (at most 2 s
    // after the last, plus jitter) finds it.
    const std::string secondFile = Unique("reconnect_2") + ".ts";
    ASSERT_TRUE(first.Listen(secondFile));
    ASSERT_TRUE(WaitForOutputs(
        engine, [](const PublishingStatus& s) { return s.reconnects == 1 && IsPublishing(s); }, 8s));
    const double reconnected = cameraTime;
    EXPECT_TRUE(cameraPast(reconnected, 4.0));
    EXPECT_TRUE(engine.StopPublishing(first.Url()));
    const double published = cameraTime - reconnected;
    player.request_stop();
    player.join();
    engine.StopVideoSave();
    const double elapsed = cameraTime - publishing;
    engine.CloseSource();
    first.Finish();

    EXPECT_TRUE(ProbeVideo(secondFile).startsWithKey);
    EXPECT_TRUE(Plays(secondFile)) << first.Log();
    // The camera's own times: as long as it was published, give or take the
    // group of pictures held back while the receiver was gone.
    EXPECT_GT(ProbeVideo(secondFile).duration, published - 0.5);
    EXPECT_LT(ProbeVideo(secondFile).duration, published + 1.5);
    EXPECT_TRUE(Plays(recording));
    EXPECT_GT(ProbeVideo(recording).duration, elapsed - 1.5) << "the recording has a gap";
}

// The tool publishes a file to a playlist and to a second output: another
// playlist, or a receiver that is not there. It prints a status line per
// output and ends with the source; an output that never got through fails
// one back-off cycle after the source ended and is named.
struct ToolCase {
    const char* name;
    bool receiverGone;
};

class PublishTool : public ::testing::TestWithParam<ToolCase> {};

TEST_P(PublishTool, PrintsAStatusLinePerOutputAndEndsWithTheSource)
{
    if (!std::filesystem::exists(kFfwrap))
        GTEST_SKIP() << "ffwrap is not built in this tree";
    const std::string folder = FreshFolder(std::string("tool_") + GetParam().name);
    const std::string a = folder + "/a.m3u8";
    // The receiver's login is never printed.
    const std::string receiver = "127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort()) + "/live";
    const std::string b = GetParam().receiverGone ? "rtsp://pub:Secr3t@" + receiver : folder + "/b.m3u8?segments=fmp4";
    const std::string shown = GetParam().receiverGone ? "rtsp://pub:***@" + receiver : b;
    // Killed if it does not end by itself (back-off cycles of 1 s and 2 s, 2 s of media).
    const std::string out =
        Capture("timeout -s KILL 60 " + kFfwrap + " publish " + ServingClip() + " " + a + " '" + b + "' 2>&1; echo exit=$?");
    EXPECT_EQ(fnmatch(("*" + a + ": finished, [1-9]* packets, [1-9]* bytes*").c_str(), out.c_str(), 0), 0) << out;
    if (GetParam().receiverGone) {
        EXPECT_NE(out.find(shown + ": failed, 0 packets"), std::string::npos) << out;
        EXPECT_NE(out.find("publish failed: " + shown + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
        EXPECT_EQ(out.find("Secr3t"), std::string::npos) << out;
    } else {
        EXPECT_NE(out.find(b + ": finished"), std::string::npos) << out;
        EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
    }
    EXPECT_TRUE(Plays(a));
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishTool, ::testing::Values(ToolCase{"TwoPlaylists", false}, ToolCase{"ReceiverGone", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Publish, NewStreamDescriptionRestartsTheOutputWithIt)
{
    const std::string playlist = (fs::path(FreshFolder("hls_restart")) / "live.m3u8").string();
    FFWrapper publisher("publish");
    ASSERT_NO_FATAL_FAILURE(PublishToTheEnd(publisher, ServingClip(), playlist + "?time=0.3")); // 160x120
    const uint64_t firstPackets = publisher.GetPublishingStatus().at(0).packets;

    // The next source's description differs: the same output starts over with it.
    ASSERT_TRUE(publisher.OpenSource(
        MakeClip("publish_64x48.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 2 -c:v libx264 -g 10 -pix_fmt yuv420p")));
    ASSERT_TRUE(publisher.StartEngine());
    ASSERT_TRUE(WaitForOutputs(
        publisher, [&](const PublishingStatus& s) { return IsFinished(s) && s.packets > firstPackets; }, 30s));
    publisher.CloseSource();
    const std::string sizes =
        Capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " + playlist);
    EXPECT_EQ(sizes.substr(0, sizes.find('\n')), "64,48") << sizes;
    EXPECT_TRUE(Plays(playlist));
}

// The camera source against a scripted camera client: settings reaching the
// client, descriptions built from what the camera reports, packets with their
// times and key flags, codec changes, and the reconnection loop with its
// events and graph records; then recording through the engine, where codec
// changes and lost connections split the files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>

#include "camera/camera_source_support.h"
#include "engine/FFFileEngine.h"
#include "facade/FFFileWrapper.h"
#include "facade/FFServingWrappers.h"
#include "source/FFRTSPSource.h"
#include "support/CapturingAppender.h"

using namespace CameraSourceTest;
using Quillet::Testing::Capture;
using Quillet::Testing::ScopedCapture;

namespace {

constexpr const char* kUrl = "rtsp://camera.invalid/stream";

class ScriptedSource : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = std::make_unique<FFRTSPSource>();
        source->SetMessenger(&messenger);
        source->SetReconnectInterval(100ms);
    }
    void TearDown() override
    {
        if (source) {
            source->StopReadThread();
            source->CloseSource();
            source->DisconnectNode();
        }
    }
    CameraScript& S() { return *factory.script; }
    // Opens with one H.264 stream and, when given, an audio stream.
    bool Open(MediaInfoStruct video, std::optional<MediaInfoStruct> audio = std::nullopt)
    {
        S().With([&] {
            S().video = video;
            S().audio = audio;
            return 0;
        });
        return source->OpenSource(kUrl);
    }
    void Start()
    {
        source->ConnectNode(&node);
        source->StartReadThread();
    }

    ScriptedFactory factory; // before the source: its client comes from the factory
    Timeline timeline;
    TimelineMessenger messenger{timeline};
    CollectingNode node{timeline};
    std::unique_ptr<FFRTSPSource> source;
};

// ------------------------------------------------------------------ settings

TEST_F(ScriptedSource, WithoutSettingsTheClientGetsUdpRtcpAndBothMediaAndWithSettingsEveryField)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    RTSPSourceSettings plain = S().With([&] { return S().setups.at(0); });
    EXPECT_FALSE(plain.streamUsingTCP);
    EXPECT_FALSE(plain.enableTimeFilter);
    EXPECT_TRUE(plain.requireRTCP);
    EXPECT_EQ(plain.packetTimeoutMs, 10000);
    EXPECT_EQ(plain.rtcpTimeoutMs, 30000);
    EXPECT_EQ(plain.mediaTypes, (std::vector<MediaPacket::MediaType>{MediaPacket::Video, MediaPacket::Audio}));
    EXPECT_EQ(plain.logPrefix, "FF: ");

    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = true;
    settings->useTimeFilter = true;
    settings->useOnlyVideo = true;
    settings->requireRTCP = false;
    settings->createTimingLog = true;
    settings->timingLogFolder = "logs";
    settings->username = "user";
    settings->password = "p@ss";
    settings->audioLatencyMs = 1.5;
    settings->videoLatencyMs = 2.5;
    settings->syncShiftMs = -3.5;
    settings->rtcpTimeoutMs = 1234.9;
    settings->packetTimeoutMs = 999.99;
    source->SetSourceSettings(settings);
    ASSERT_TRUE(source->OpenSource(kUrl));
    RTSPSourceSettings mapped = S().With([&] { return S().setups.at(1); });
    EXPECT_TRUE(mapped.streamUsingTCP);
    EXPECT_TRUE(mapped.enableTimeFilter);
    EXPECT_FALSE(mapped.requireRTCP);
    EXPECT_TRUE(mapped.createTimingLog);
    EXPECT_EQ(mapped.timingLogFolder, "logs");
    EXPECT_EQ(mapped.username, "user");
    EXPECT_EQ(mapped.password, "p@ss");
    EXPECT_DOUBLE_EQ(mapped.audioLatencyMs, 1.5);
    EXPECT_DOUBLE_EQ(mapped.videoLatencyMs, 2.5);
    EXPECT_DOUBLE_EQ(mapped.syncShiftMs, -3.5);
    EXPECT_EQ(mapped.rtcpTimeoutMs, 1234);
    EXPECT_EQ(mapped.packetTimeoutMs, 999);
    EXPECT_EQ(mapped.mediaTypes, (std::vector<MediaPacket::MediaType>{MediaPacket::Video}));
}

TEST(ScriptedServingFacade, SettingsGivenToTheFacadeReachTheCameraAtTheNextOpen)
{
    ScriptedFactory factory;
    factory.script->video = VideoInfo(320, 240);
    FFWrapperCLI::FFFileServerWrapper facade("camera_source_facade");
    FFWrapperCLI::SourceSettings settings;
    settings.streamUsingTCP = false;
    settings.username = "admin";
    settings.password = "secret";
    settings.packetTimeoutMs = 2500.0;
    facade.SetSourceSettings(settings);
    ASSERT_TRUE(facade.OpenSource(kUrl));
    EXPECT_EQ(facade.Width(), 320);
    facade.CloseSource();

    settings.streamUsingTCP = true;
    facade.SetSourceSettings(settings);
    ASSERT_TRUE(facade.OpenSource(kUrl));
    facade.CloseSource();

    auto setups = factory.script->With([&] { return factory.script->setups; });
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_FALSE(setups[0].streamUsingTCP);
    EXPECT_TRUE(setups[1].streamUsingTCP);
    for (const auto& s : setups) {
        EXPECT_EQ(s.username, "admin");
        EXPECT_EQ(s.password, "secret");
        EXPECT_EQ(s.packetTimeoutMs, 2500);
        EXPECT_TRUE(s.enableTimeFilter); // the facade's default
    }
}

// ------------------------------------------------------------------ opening

TEST_F(ScriptedSource, RefusesWhatIsNotACameraOrDoesNotAnswerOrDescribesNothingUsable)
{
    ScopedCapture log(messenger.Category(), 600);
    for (const char* url : {"http://camera/x", "RTSP://camera/x", "rts", ""})
        EXPECT_FALSE(source->OpenSource(url)) << url;
    EXPECT_EQ(S().Connects(), 0u) << "nothing but rtsp URLs reaches the camera";
    EXPECT_EQ(log->Count("Attempting to open non-rtsp"), 4u);

    S().refuseConnects = 1;
    EXPECT_FALSE(Open(VideoInfo(640, 480)));
    EXPECT_TRUE(log->Contains(std::string("Failed to connect ") + kUrl));
    EXPECT_EQ(timeline.Count("event 0 RTSP connected"), 0u);

    // Connected, but the only stream's size is unknown or corrupt.
    EXPECT_FALSE(Open(VideoInfo(-1, 480)));
    EXPECT_TRUE(log->Contains("MediaInfo::UNKNOWN_OR_CORRUPT_PARAMETER"));
    EXPECT_EQ(timeline.Count("event 0 RTSP connected"), 1u);
    EXPECT_EQ(source->GetMetaInfo(), nullptr);
    EXPECT_FALSE(source->IsOpen()) << "open means reading for a camera";
}

// ------------------------------------------------------------------ descriptions

TEST_F(ScriptedSource, DescriptionsComeFromTheCameraInfoWithFakedSizeAndAacConfig)
{
    ASSERT_TRUE(Open(VideoInfo(0, 0), AudioInfo(MediaPacket::AAC, 44100, 2)));
    auto meta = std::dynamic_pointer_cast<FFAVCodec>(source->GetMetaInfo());
    ASSERT_TRUE(meta && meta->video && meta->audio);
    const AVCodecContext* v = meta->video->Context();
    EXPECT_EQ(v->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(v->width, 100);
    EXPECT_EQ(v->height, 100);
    EXPECT_EQ(v->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(meta->video->timeBaseNum, 1);
    EXPECT_EQ(meta->video->timeBaseDen, 90000);
    EXPECT_EQ(meta->video->disposition, 4);
    EXPECT_EQ(meta->video->GetStreamType(), FFStreamType::Video);

    const AVCodecContext* a = meta->audio->Context();
    EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(a->sample_rate, 44100);
    EXPECT_EQ(a->ch_layout.nb_channels, 2);
    EXPECT_EQ(a->bit_rate, 64000);
    ASSERT_EQ(a->extradata_size, 2);
    EXPECT_EQ(a->extradata[0], 0x12);
    EXPECT_EQ(a->extradata[1], 0x10);
    EXPECT_EQ(meta->audio->timeBaseDen, 44100);
    EXPECT_EQ(meta->audio->GetStreamType(), FFStreamType::Audio);

    int rate = 0, bits = 0, channels = 0;
    EXPECT_TRUE(source->GetAudioFormat(&rate, &bits, &channels));
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(source->Width(), 100);
    EXPECT_EQ(source->RenderHeight(), 100);
    EXPECT_DOUBLE_EQ(source->GetDuration(), 0.0);
    source->Seek(12.0); // a camera cannot be repositioned: nothing changes
    EXPECT_EQ(source->Width(), 100);

    ASSERT_TRUE(Open(VideoInfo(352, 288, MediaPacket::JPEG), AudioInfo(MediaPacket::AAC, 48000, 1)));
    meta = std::dynamic_pointer_cast<FFAVCodec>(source->GetMetaInfo());
    ASSERT_TRUE(meta && meta->audio);
    EXPECT_EQ(meta->video->Context()->codec_id, AV_CODEC_ID_MJPEG);
    EXPECT_EQ(meta->audio->Context()->extradata[0], 0x11);
    EXPECT_EQ(meta->audio->Context()->extradata[1], 0x88);

    MediaInfoStruct g726 = AudioInfo(MediaPacket::G726, 8000, 1, 32);
    MediaInfoStruct yuv422 = VideoInfo(64, 48, MediaPacket::MPEG4);
    yuv422.pixelFormat = MediaPacket::YUV422;
    ASSERT_TRUE(Open(yuv422, g726));
    meta = std::dynamic_pointer_cast<FFAVCodec>(source->GetMetaInfo());
    ASSERT_TRUE(meta && meta->audio);
    EXPECT_EQ(meta->video->Context()->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(meta->video->Context()->pix_fmt, AV_PIX_FMT_YUV422P);
    EXPECT_EQ(meta->audio->Context()->codec_id, AV_CODEC_ID_ADPCM_G726);
    EXPECT_EQ(meta->audio->Context()->bits_per_coded_sample, 4);

    ASSERT_TRUE(Open(VideoInfo(64, 48, MediaPacket::HEVC), AudioInfo(MediaPacket::PCMA, 8000, 1)));
    meta = std::dynamic_pointer_cast<FFAVCodec>(source->GetMetaInfo());
    ASSERT_TRUE(meta && meta->audio);
    EXPECT_EQ(meta->video->Context()->codec_id, AV_CODEC_ID_H264) << "unknown video codes read as H.264";
    EXPECT_EQ(meta->audio->Context()->codec_id, AV_CODEC_ID_PCM_MULAW) << "unknown audio codes read as mu-law";
}

// ------------------------------------------------------------------ packets

TEST_F(ScriptedSource, PacketsCarryTheCameraBytesTimesAndKeyFlagsAfterTheirDescription)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480), AudioInfo(MediaPacket::PCMU, 8000, 1)));
    const int64_t wall = NowTicks();
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 9000, {0, 0, 0, 1, 0x65, 7}, wall,
                                 MediaPacket::LocalClock));
    S().Enqueue(MakeMediaPacket(MediaPacket::Audio, 1, false, 160, {1, 2, 3}, wall + 10, MediaPacket::SenderReport));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, false, 12600, {0, 0, 0, 1, 0x41}, wall + 400000));
    S().Enqueue(MakeMediaPacket(MediaPacket::UnknownMedia, 1, true, 1, {9})); // not a stream: dropped
    Start();
    ASSERT_TRUE(WaitFor([&] { return node.OfType<FFPacket>(FFType::Packet).size() == 3; }));

    const auto lines = timeline.Lines();
    // The first video and the first audio packet each come after a fresh
    // description (the stored configuration ids start at 0).
    std::vector<std::string> records;
    for (const auto& l : lines)
        if (l.rfind("event", 0) != 0)
            records.push_back(l);
    EXPECT_EQ(records, (std::vector<std::string>{"codec 640x480", "codec 640x480", "video", "codec 640x480", "audio", "video"}))
        << timeline.Text();

    auto packets = node.OfType<FFPacket>(FFType::Packet);
    const AVPacket* v1 = packets[0]->Get();
    EXPECT_EQ(std::vector<uint8_t>(v1->data, v1->data + v1->size), (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 7}));
    EXPECT_EQ(v1->pts, 9000);
    EXPECT_EQ(v1->dts, 9000);
    EXPECT_EQ(v1->stream_index, 1);
    EXPECT_TRUE(packets[0]->IsKey());
    EXPECT_EQ(packets[0]->liveTime, wall);
    EXPECT_FALSE(packets[0]->liveFlag) << "a local-clock estimate is not trustworthy";
    EXPECT_EQ(packets[0]->GetStreamType(), FFStreamType::Video);

    const AVPacket* a = packets[1]->Get();
    EXPECT_EQ(std::vector<uint8_t>(a->data, a->data + a->size), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(a->stream_index, 2);
    EXPECT_TRUE(packets[1]->IsKey()) << "every audio packet is a key packet";
    EXPECT_TRUE(packets[1]->liveFlag);
    EXPECT_EQ(packets[1]->liveTime, wall + 10);
    EXPECT_EQ(packets[1]->GetStreamType(), FFStreamType::Audio);

    EXPECT_FALSE(packets[2]->IsKey()) << "H.264 keeps the camera's frame type";
    EXPECT_EQ(packets[2]->Get()->pts, 12600);
}

TEST_F(ScriptedSource, EveryMjpegPictureIsAKeyPacket)
{
    ASSERT_TRUE(Open(VideoInfo(320, 240, MediaPacket::MJPEG)));
    for (int i = 0; i < 5; ++i)
        S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, false, 3600 * i, {0xFF, 0xD8, uint8_t(i)}));
    Start();
    ASSERT_TRUE(WaitFor([&] { return node.OfType<FFPacket>(FFType::Packet).size() == 5; }));
    for (const auto& p : node.OfType<FFPacket>(FFType::Packet))
        EXPECT_TRUE(p->IsKey());
}

TEST_F(ScriptedSource, CodecChangePushesTheNewDescriptionBeforeItsPacketAndUnknownSizesKeepTheOld)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    auto changed = MakeMediaPacket(MediaPacket::Video, 2, true, 3600, {2});
    changed->codecChanged = true;
    S().Enqueue(changed, VideoInfo(320, 240, MediaPacket::H264, 2));
    // The camera signals a change but cannot tell the new size: the old
    // description stays and is announced again.
    auto corrupt = MakeMediaPacket(MediaPacket::Video, 3, true, 7200, {3});
    corrupt->codecChanged = true;
    S().Enqueue(corrupt, VideoInfo(-1, -1, MediaPacket::H264, 3));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 3, false, 10800, {4}));
    Start();
    ASSERT_TRUE(WaitFor([&] { return node.OfType<FFPacket>(FFType::Packet).size() == 4; }));
    EXPECT_EQ(timeline.Lines(),
              (std::vector<std::string>{"event 0 RTSP connected", "codec 640x480", "codec 640x480", "video", "codec 320x240", "video",
                                        "codec 320x240", "video", "video"}))
        << timeline.Text();
    EXPECT_EQ(source->Width(), 320);
}

// ------------------------------------------------------------------ reconnection

TEST_F(ScriptedSource, LostConnectionIsAnnouncedRetriedAfterTheIntervalAndReestablished)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    Start(); // "codec" from connecting the node
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    ASSERT_TRUE(WaitFor([&] { return S().Drained(); }));
    S().With([&] {
        S().refuseConnects = 2;
        S().alive = false;
        return 0;
    });
    ASSERT_TRUE(WaitFor([&] { return timeline.Count("event 0 RTSP connection reestablished") == 1; }));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 3600, {2}));
    ASSERT_TRUE(WaitFor([&] { return node.OfType<FFPacket>(FFType::Packet).size() == 2; }));

    const std::vector<std::string> expected{
        "event 0 RTSP connected",
        "codec 640x480",
        "codec 640x480",
        "video",
        "event 2 RTSP connection lost, reconnection attempt 1",
        "info 2 RTSP connection lost, reconnection attempt 1",
        "event 2 RTSP connection lost, reconnection attempt 2",
        "info 2 RTSP connection lost, reconnection attempt 2",
        "event 2 RTSP connection lost, reconnection attempt 3",
        "info 2 RTSP connection lost, reconnection attempt 3",
        "event 0 RTSP connected",
        "event 0 RTSP connection reestablished",
        "info 0 RTSP connection reestablished",
        "codec 640x480", // the configuration ids start again after a reconnection
        "video",
    };
    EXPECT_EQ(timeline.Lines(), expected) << timeline.Text();

    auto times = S().With([&] { return S().connectTimes; });
    ASSERT_EQ(times.size(), 4u);
    EXPECT_GE(times[2] - times[1], 100ms) << "failed attempts are spaced by the interval";
    EXPECT_GE(times[3] - times[2], 100ms);
    EXPECT_EQ(S().With([&] { return S().clientsAlive; }), 1) << "each attempt replaces the client";
    EXPECT_EQ(S().With([&] { return S().clientsMade; }), 4);

    // Counting starts again after a successful reconnection.
    S().Lose();
    ASSERT_TRUE(WaitFor([&] { return timeline.Count("event 0 RTSP connection reestablished") == 2; }));
    EXPECT_EQ(timeline.Count("event 2 RTSP connection lost, reconnection attempt 1"), 2u);
}

TEST_F(ScriptedSource, DefaultIntervalBetweenAttemptsIsFiveSeconds)
{
    source->SetReconnectInterval(FFRTSPSource::kReconnectInterval);
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().With([&] {
        S().refuseConnects = 1;
        S().alive = false;
        return 0;
    });
    Start();
    ASSERT_TRUE(WaitFor([&] { return S().Connects() >= 3; }, 9000ms));
    auto times = S().With([&] { return S().connectTimes; });
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[2] - times[1]);
    EXPECT_GE(gap, 4000ms);
    EXPECT_LE(gap, 6000ms);
}

TEST_F(ScriptedSource, StopReturnsPromptlyWhileWaitingBetweenAttemptsOrWhileTheCameraDoesNotAnswer)
{
    source->SetReconnectInterval(FFRTSPSource::kReconnectInterval);
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().With([&] {
        S().refuseConnects = 100;
        S().alive = false;
        return 0;
    });
    Start();
    ASSERT_TRUE(WaitFor([&] { return S().Connects() == 2; }));
    std::this_thread::sleep_for(100ms); // well inside the five seconds
    auto begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s);
    EXPECT_FALSE(source->IsReading());

    // Now a camera that accepts the connection and never answers.
    S().With([&] {
        S().hangConnects = true;
        return 0;
    });
    source->StartReadThread();
    ASSERT_TRUE(WaitFor([&] { return S().Connects() == 3; }));
    begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s);
    source->CloseSource();
}

TEST_F(ScriptedSource, FlowControlHoldsPacketsButNotAStop)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    node.busy = true;
    Start();
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(node.OfType<FFPacket>(FFType::Packet).size(), 0u) << "a paused destination holds the source";
    node.busy = false;
    ASSERT_TRUE(WaitFor([&] { return node.OfType<FFPacket>(FFType::Packet).size() == 1; }));

    node.busy = true;
    S().Lose(); // the announcement waits for the destination, the stop does not
    ASSERT_TRUE(WaitFor([&] { return S().Connects() == 1 && timeline.Count("event 2 RTSP connection lost, "
                                                                             "reconnection attempt 1") == 1; }));
    const auto begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s);
}

TEST_F(ScriptedSource, AFailingCameraEndsTheWorkerWithAnRtspSourceError)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().With([&] {
        S().throwOnRead = true;
        return 0;
    });
    Start();
    ASSERT_TRUE(WaitFor([&] { return !source->IsReading(); }));
    ASSERT_TRUE(WaitFor([&] {
        return timeline.Count("error 3 Error in FFRTSPSource::_ReadFramesFromSource: scripted camera failure") == 1;
    }));
    // The worker can be started again once the camera behaves.
    S().With([&] {
        S().throwOnRead = false;
        return 0;
    });
    source->StartReadThread();
    EXPECT_TRUE(source->IsReading());
}

// ------------------------------------------------------------------ recording

// A recording engine whose camera retries quickly.
class QuickRetryFileEngine : public FFFileEngine {
public:
    using FFFileEngine::FFFileEngine;

protected:
    std::unique_ptr<IFFSource> _CreateSource(const std::string& url) override
    {
        auto source = FFFileEngine::_CreateSource(url);
        if (auto* camera = dynamic_cast<FFRTSPSource*>(source.get()))
            camera->SetReconnectInterval(50ms);
        return source;
    }
};

struct ProbedFile {
    int packets = -1;
    std::string size;
};

ProbedFile Probe(const std::string& file)
{
    ProbedFile p;
    const std::string out = Capture("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                    "stream=nb_read_packets,width,height -of csv=p=0 '" + file + "' 2>&1");
    int w = 0, h = 0, n = 0;
    if (std::sscanf(out.c_str(), "%d,%d,%d", &w, &h, &n) == 3) {
        p.packets = n;
        p.size = std::to_string(w) + "x" + std::to_string(h);
    }
    return p;
}

class ScriptedRecording : public ::testing::Test {
protected:
    void SetUp() override
    {
        units = H264AccessUnits("camera_source_160.h264", 160, 120, 10, 5);
        small = H264AccessUnits("camera_source_96.h264", 128, 96, 10, 5);
        ASSERT_EQ(units.size(), 10u);
        ASSERT_EQ(small.size(), 10u);
        ASSERT_TRUE(units[0].key && units[5].key && !units[1].key);
        folder = std::filesystem::path("camera_source_rec_" + std::to_string(getpid()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        factory.script->video = VideoInfo(160, 120);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    void Feed(const std::vector<AccessUnit>& clip, int configId, std::optional<MediaInfoStruct> change = std::nullopt)
    {
        for (size_t i = 0; i < clip.size(); ++i) {
            auto p = MakeMediaPacket(MediaPacket::Video, configId, clip[i].key, timestamp, clip[i].bytes, NowTicks());
            timestamp += 3600;
            const bool announce = i == 0 && change.has_value();
            p->codecChanged = announce;
            factory.script->Enqueue(p, announce ? change : std::nullopt);
            ++fed;
        }
    }

    ScriptedFactory factory;
    std::vector<AccessUnit> units, small;
    std::filesystem::path folder;
    int64_t timestamp = 0;
    int fed = 0;
};

TEST_F(ScriptedRecording, CodecChangeAndLostConnectionsSplitTheRecordingIntoPlayableFollowOnFiles)
{
    constexpr int kLosses = 20;
    Timeline events;
    auto* engine = new QuickRetryFileEngine("camera_source_recording");
    FFWrapperCLI::FFFileWrapper facade(engine);
    facade.RegisterFFEventCallback(FFWrapperCLI::ManagedEventDelegate([&](const FFWrapperCLI::EventArgs& e) {
        if (auto* c = dynamic_cast<const FFWrapperCLI::SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(c->status)) + " " + c->message);
    }));
    const std::string base = (folder / "cam.mp4").string();
    ASSERT_TRUE(facade.OpenSource(kUrl));
    facade.SaveToVideoFile(base);
    ASSERT_TRUE(facade.StartEngine());

    Feed(units, 1);
    ASSERT_TRUE(WaitFor([&] { return factory.script->Drained(); }));
    Feed(small, 2, VideoInfo(128, 96, MediaPacket::H264, 2)); // the camera switches resolution
    ASSERT_TRUE(WaitFor([&] { return factory.script->Drained(); }));

    for (int loss = 1; loss <= kLosses; ++loss) {
        factory.script->Lose();
        ASSERT_TRUE(WaitFor([&] {
            return events.Count("0 RTSP connection reestablished") == static_cast<size_t>(loss);
        })) << events.Text();
        Feed(small, 1); // configuration ids count from 1 again on a new connection
        ASSERT_TRUE(WaitFor([&] { return factory.script->Drained(); }));
    }
    // Let the write thread drain before the recording ends.
    std::this_thread::sleep_for(300ms);
    facade.StopVideoSave();
    facade.StopEngine();
    facade.CloseSource();

    EXPECT_EQ(events.Count("2 RTSP connection lost, reconnection attempt 1"), size_t(kLosses));
    EXPECT_EQ(events.Count("0 RTSP connected"), size_t(kLosses + 1));

    std::map<std::string, ProbedFile> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = Probe(entry.path().string());
    ASSERT_EQ(files.size(), size_t(kLosses + 2)) << "the first file, one codec split and one file per loss";
    EXPECT_EQ(files["cam.mp4"].size, "160x120");
    EXPECT_EQ(files["cam.mp4"].packets, 10);
    EXPECT_EQ(files["cam_#1.mp4"].size, "128x96");
    EXPECT_EQ(files["cam_#1.mp4"].packets, 10);
    int total = 0;
    for (const auto& [name, probed] : files)
        total += std::max(0, probed.packets);
    for (int loss = 1; loss <= kLosses; ++loss) {
        // Markers accumulate: the losses follow the file the codec change began.
        const std::string name = "cam_#1_%" + std::to_string(loss) + ".mp4";
        ASSERT_TRUE(files.count(name)) << name;
        EXPECT_EQ(files[name].packets, 10) << name;
        EXPECT_EQ(files[name].size, "128x96") << name;
    }
    EXPECT_EQ(total, fed) << "every packet received while connected is in a file";
}

} // namespace

// The camera source against the scripted camera client: settings reaching
// the client, descriptions built from what the camera reports, packets with
// their times and key flags, codec changes, and the reconnection loop with
// its events, graph records and locks.
#include <gtest/gtest.h>

#include <future>

#include "camera/camera_source_support.h"
#include "source/FFRTSPSource.h"

using namespace CameraSourceTest;

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
        source->StopReadThread();
        source->CloseSource();
        source->DisconnectNode();
    }
    CameraScript& S() { return *factory.script; }
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
    size_t Packets() const { return node.OfType<FFPacket>(FFType::Packet).size(); }
    void LoseConnection(int refusedAttempts)
    {
        S().With([&] {
            S().refuseConnects = refusedAttempts;
            S().alive = false;
            return 0;
        });
    }

    ScriptedFactory factory; // before the source: its client comes from the factory
    Timeline timeline;
    TimelineMessenger messenger{timeline};
    CollectingNode node{timeline};
    std::unique_ptr<FFRTSPSource> source;
};

TEST_F(ScriptedSource, SettingsReachTheClientWithDefaultsWithoutThem)
{
    for (const char* url : {"http://camera/x", "RTSP://camera/x", "rts"})
        EXPECT_FALSE(source->OpenSource(url)) << url;
    EXPECT_EQ(S().Connects(), 0u) << "nothing but rtsp URLs reaches the camera";

    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = settings->useTimeFilter = settings->useOnlyVideo = settings->createTimingLog = true;
    settings->requireRTCP = false;
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
    const auto setups = S().With([&] { return S().setups; });
    ASSERT_EQ(setups.size(), 2u);
    const RTSPSourceSettings& plain = setups[0];
    EXPECT_FALSE(plain.streamUsingTCP || plain.enableTimeFilter || plain.createTimingLog);
    EXPECT_TRUE(plain.requireRTCP);
    EXPECT_EQ(plain.packetTimeoutMs, 10000);
    EXPECT_EQ(plain.rtcpTimeoutMs, 30000);
    EXPECT_EQ(plain.mediaTypes, (std::vector<MediaPacket::MediaType>{MediaPacket::Video, MediaPacket::Audio}));
    const RTSPSourceSettings& m = setups[1];
    EXPECT_TRUE(m.streamUsingTCP && m.enableTimeFilter && m.createTimingLog && !m.requireRTCP);
    EXPECT_EQ(m.timingLogFolder, "logs");
    EXPECT_EQ(m.username + " " + m.password, "user p@ss");
    EXPECT_EQ(std::vector<double>({m.audioLatencyMs, m.videoLatencyMs, m.syncShiftMs}),
              std::vector<double>({1.5, 2.5, -3.5}));
    EXPECT_EQ(m.rtcpTimeoutMs, 1234);
    EXPECT_EQ(m.packetTimeoutMs, 999);
    EXPECT_EQ(m.mediaTypes, (std::vector<MediaPacket::MediaType>{MediaPacket::Video}));
}

// ------------------------------------------------------------------ descriptions

struct DescriptionCase {
    const char* name;
    MediaInfoStruct video;
    MediaInfoStruct audio;
    AVCodecID videoId; // NONE: refused
    AVCodecID audioId;
    std::vector<uint8_t> audioConfig;
    const char* refusal; // the event that names a refused codec
};

class ScriptedDescriptions : public ScriptedSource, public ::testing::WithParamInterface<DescriptionCase> {};

TEST_P(ScriptedDescriptions, StreamsAreDescribedAsWhatTheyAreOrRefusedByName)
{
    const DescriptionCase& c = GetParam();
    const bool usable = c.videoId != AV_CODEC_ID_NONE || c.audioId != AV_CODEC_ID_NONE;
    EXPECT_EQ(Open(c.video, c.audio), usable);
    EXPECT_EQ(timeline.Count("event 0 RTSP connected"), 1u);
    EXPECT_EQ(timeline.Count(std::string("event 1 ") + c.refusal), *c.refusal ? 1u : 0u) << timeline.Text();
    EXPECT_EQ(timeline.Count(std::string("error 3 FFRTSPSource: ") + c.refusal), *c.refusal ? 1u : 0u);
    auto meta = std::dynamic_pointer_cast<FFAVCodec>(source->GetMetaInfo());
    ASSERT_EQ(meta != nullptr, usable);
    if (!meta)
        return;
    const AVCodecContext* v = meta->video->Context(); // empty when refused
    EXPECT_EQ(v->codec_id, c.videoId);
    if (c.videoId != AV_CODEC_ID_NONE) {
        EXPECT_EQ(v->codec_tag, c.videoId == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0u);
        // A size the camera does not know yet is faked; decoders refuse none.
        EXPECT_EQ(v->width, c.video.width > 0 ? c.video.width : 100);
        EXPECT_EQ(meta->video->timeBaseDen, 90000);
        EXPECT_EQ(source->Width(), v->width);
    }
    ASSERT_EQ(meta->audio != nullptr, c.audioId != AV_CODEC_ID_NONE);
    EXPECT_EQ(source->HasAudio(), c.audioId != AV_CODEC_ID_NONE);
    if (meta->audio) {
        const AVCodecContext* a = meta->audio->Context();
        EXPECT_EQ(a->codec_id, c.audioId);
        EXPECT_EQ(a->sample_rate, c.audio.sampleRate);
        EXPECT_EQ(std::vector<uint8_t>(a->extradata, a->extradata + a->extradata_size), c.audioConfig);
        EXPECT_EQ(meta->audio->timeBaseDen, c.audio.sampleRate);
        int rate = 0, bits = 0, channels = 0;
        EXPECT_TRUE(source->GetAudioFormat(&rate, &bits, &channels));
        EXPECT_EQ(std::vector<int>({rate, bits, channels}), std::vector<int>({c.audio.sampleRate, 16, c.audio.channels}));
    }
}

MediaInfoStruct Named(MediaInfoStruct info, const char* name)
{
    info.codecName = name;
    return info;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, ScriptedDescriptions,
    ::testing::Values(
        DescriptionCase{"H264Aac44k", VideoInfo(0, 0), AudioInfo(MediaPacket::AAC, 44100, 2), AV_CODEC_ID_H264,
                        AV_CODEC_ID_AAC, {0x12, 0x10}, ""},
        DescriptionCase{"HevcAlaw", VideoInfo(640, 480, MediaPacket::HEVC), AudioInfo(MediaPacket::PCMA, 8000, 1),
                        AV_CODEC_ID_HEVC, AV_CODEC_ID_PCM_ALAW, {}, ""},
        DescriptionCase{"MjpegAac48k", VideoInfo(352, 288, MediaPacket::JPEG), AudioInfo(MediaPacket::AAC, 48000, 1),
                        AV_CODEC_ID_MJPEG, AV_CODEC_ID_AAC, {0x11, 0x88}, ""},
        DescriptionCase{"Mpeg4Opus", VideoInfo(64, 48, MediaPacket::MPEG4), AudioInfo(MediaPacket::OPUS, 48000, 2),
                        AV_CODEC_ID_MPEG4, AV_CODEC_ID_OPUS, {}, ""},
        DescriptionCase{"H264G722Refused", VideoInfo(64, 48), AudioInfo(MediaPacket::G722, 16000, 1), AV_CODEC_ID_H264,
                        AV_CODEC_ID_NONE, {}, "Unsupported camera audio codec adpcm_g722"},
        DescriptionCase{"UnknownVideoRefused", Named(VideoInfo(64, 48, MediaPacket::UnknownCodec), "vp8"),
                        AudioInfo(MediaPacket::PCMU, 8000, 1), AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_MULAW, {},
                        "Unsupported camera video codec vp8"},
        DescriptionCase{"OnlyLatmRefused", VideoInfo(-1, 480), AudioInfo(MediaPacket::AACLATM, 48000, 2),
                        AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, {}, "Unsupported camera audio codec aac_latm"}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ packets

struct PacketCase {
    MediaPacket::Codec codec;
    bool keepsCameraKeyFlag; // else every picture stands alone
};

class ScriptedPackets : public ScriptedSource, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(ScriptedPackets, CarryTheCameraBytesTimesAndKeyFlagsAfterTheirDescription)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480, GetParam().codec), AudioInfo(MediaPacket::PCMA, 8000, 1)));
    const int64_t wall = NowTicks();
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 9000, {0, 0, 0, 1, 0x65, 7}, wall, MediaPacket::LocalClock));
    S().Enqueue(MakeMediaPacket(MediaPacket::Audio, 1, false, 160, {1, 2, 3}, wall + 10));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, false, 12600, {0, 0, 0, 1, 0x41}, wall + 400000));
    S().Enqueue(MakeMediaPacket(MediaPacket::UnknownMedia, 1, true, 1, {9})); // not a stream: dropped
    Start();
    ASSERT_TRUE(WaitFor([&] { return Packets() == 3; }));
    std::vector<std::string> records;
    for (const auto& l : timeline.Lines())
        if (l.rfind("event", 0) != 0)
            records.push_back(l);
    // Connecting the node, then a fresh description ahead of each stream's
    // first packet (the stored configuration ids start at 0).
    EXPECT_EQ(records, (std::vector<std::string>{"codec 640x480", "codec 640x480", "video", "codec 640x480", "audio", "video"}));

    auto packets = node.OfType<FFPacket>(FFType::Packet);
    const AVPacket* v = packets[0]->Get();
    EXPECT_EQ(std::vector<uint8_t>(v->data, v->data + v->size), (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 7}));
    EXPECT_EQ(std::vector<int64_t>({v->pts, v->dts, v->stream_index}), std::vector<int64_t>({9000, 9000, 1}));
    EXPECT_TRUE(packets[0]->IsKey());
    EXPECT_EQ(packets[0]->liveTime, wall);
    EXPECT_FALSE(packets[0]->liveFlag) << "a local-clock estimate is not trustworthy";
    const AVPacket* a = packets[1]->Get();
    EXPECT_EQ(std::vector<uint8_t>(a->data, a->data + a->size), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(a->stream_index, 2);
    EXPECT_TRUE(packets[1]->IsKey()) << "every audio packet is a key packet";
    EXPECT_TRUE(packets[1]->liveFlag);
    EXPECT_EQ(packets[1]->GetStreamType(), FFStreamType::Audio);
    EXPECT_EQ(packets[2]->IsKey(), !GetParam().keepsCameraKeyFlag);
    EXPECT_EQ(packets[2]->Get()->pts, 12600);
}

INSTANTIATE_TEST_SUITE_P(Codecs, ScriptedPackets,
                         ::testing::Values(PacketCase{MediaPacket::H264, true}, PacketCase{MediaPacket::HEVC, true},
                                           PacketCase{MediaPacket::MPEG4, true}, PacketCase{MediaPacket::MJPEG, false}),
                         [](const auto& info) { return "Code" + std::to_string(int(info.param.codec)); });

TEST_F(ScriptedSource, CodecChangePushesTheNewDescriptionBeforeItsPacketAndUnknownSizesKeepTheOld)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    auto changed = MakeMediaPacket(MediaPacket::Video, 2, true, 3600, {2});
    changed->codecChanged = true;
    S().Enqueue(changed, VideoInfo(320, 240, MediaPacket::H264, 2));
    auto corrupt = MakeMediaPacket(MediaPacket::Video, 3, true, 7200, {3});
    corrupt->codecChanged = true;
    S().Enqueue(corrupt, VideoInfo(-1, -1, MediaPacket::H264, 3));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 3, false, 10800, {4}));
    Start();
    ASSERT_TRUE(WaitFor([&] { return Packets() == 4; }));
    EXPECT_EQ(timeline.Lines(), (std::vector<std::string>{"event 0 RTSP connected", "codec 640x480", "codec 640x480",
                                                          "video", "codec 320x240", "video", "codec 320x240", "video",
                                                          "video"}));
}

// ------------------------------------------------------------------ reconnection

TEST_F(ScriptedSource, LostConnectionIsAnnouncedRetriedAndReestablishedWithoutHoldingTheSource)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    Start();
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    ASSERT_TRUE(WaitFor([&] { return S().Drained(); }));
    LoseConnection(2);
    ASSERT_TRUE(WaitFor([&] { return timeline.Count("event 0 RTSP connection reestablished") == 1; }));
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 3600, {2}));
    ASSERT_TRUE(WaitFor([&] { return Packets() == 2; }));
    std::vector<std::string> expected{"event 0 RTSP connected", "codec 640x480", "codec 640x480", "video"};
    for (int attempt = 1; attempt <= 3; ++attempt)
        for (const char* kind : {"event 2 ", "info 2 "})
            expected.push_back(kind + std::string("RTSP connection lost, reconnection attempt ") + std::to_string(attempt));
    for (const char* line : {"event 0 RTSP connected", "event 0 RTSP connection reestablished",
                             "info 0 RTSP connection reestablished", "codec 640x480", "video"})
        expected.push_back(line);
    EXPECT_EQ(timeline.Lines(), expected);
    EXPECT_EQ(S().With([&] { return S().clientsAlive; }), 1) << "each attempt replaces the client";

    // A camera away for good: the source pauses five seconds between
    // attempts, and answers about the stream all the while.
    source->SetReconnectInterval(FFRTSPSource::kReconnectInterval);
    LoseConnection(1000);
    ASSERT_TRUE(WaitFor([&] { return S().Connects() == 5; }));
    std::this_thread::sleep_for(200ms); // inside the pause after the refused attempt
    auto facts = std::async(std::launch::async, [&] { return source->Width() + source->HasAudio(); });
    ASSERT_EQ(facts.wait_for(2s), std::future_status::ready) << "the pause holds the source's lock";
    EXPECT_EQ(facts.get(), 640);
    const auto begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s) << "a stop ends the pause";
    EXPECT_EQ(S().Connects(), 5u) << "no attempt during the pause";
}

TEST_F(ScriptedSource, StopEndsAConnectThatDoesNotAnswerAndAWaitOnABusyGraph)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    node.busy = true;
    Start();
    S().Enqueue(MakeMediaPacket(MediaPacket::Video, 1, true, 0, {1}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Packets(), 0u) << "a paused destination holds the source";
    node.busy = false;
    ASSERT_TRUE(WaitFor([&] { return Packets() == 1; }));

    node.busy = true; // the announcement of the loss waits; the stop does not
    S().With([&] { return S().hangConnects = true; });
    S().Lose();
    std::this_thread::sleep_for(200ms);
    auto begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s);
    node.busy = false;
    source->StartReadThread();
    ASSERT_TRUE(WaitFor([&] { return S().Connects() >= 2; }));
    begin = Clock::now();
    source->StopReadThread();
    EXPECT_LT(Clock::now() - begin, 2s) << "the hung Connect is interrupted";
}

TEST_F(ScriptedSource, AFailingCameraEndsTheWorkerWithAnRtspSourceError)
{
    ASSERT_TRUE(Open(VideoInfo(640, 480)));
    S().With([&] { return S().throwOnRead = true; });
    Start();
    ASSERT_TRUE(WaitFor([&] {
        return timeline.Count("error 3 Error in FFRTSPSource::_ReadFramesFromSource: scripted camera failure") == 1;
    }));
    EXPECT_FALSE(source->IsReading());
    S().With([&] { return S().throwOnRead = false; });
    source->StartReadThread();
    EXPECT_TRUE(source->IsReading());
}

} // namespace

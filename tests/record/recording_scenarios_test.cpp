// The recording sink as one scenario table: records in (a clip's packets,
// new descriptions, lost and regained connections, split requests, wall-
// clock steps, end of stream) -> the files in the folder, their names, the
// exact packets of each (ffprobe against the source bytes and times) and the
// sync points sent. The sink is drained on the test thread so every split
// lands where the scenario puts it; its write thread is exercised by the
// acceptance tests. Below it, the container writer's own table, and the
// recording through the facade with its write thread.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "facade/FFFileWrapper.h"
#include "record/FFFile.h"
#include "record/SyncingFileSink.h"
#include "support/CapturingMessenger.h"
#include "support/FacadeEvents.h"
#include "support/RecordedPackets.h"
#include "support/WaitFor.h"

namespace {

using namespace Quillet;
using namespace Quillet::Testing;
using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int64_t kSecond = SyncingFileSink::kTicksPerSecond;
constexpr int64_t kCaptureStart = 15000000000000000; // 2017-07-14 02:40:00 UTC in ticks

std::string ClipFor(const std::string& recipe)
{
    const std::string av = "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 ";
    if (recipe == "g25") // as cameras send: no B-frames, a key picture a second
        return MakeClip("rec_g25.mp4", av + "-t 3 -c:v libx264 -bf 0 -g 25 -sc_threshold 0 -video_track_timescale 25 -c:a aac");
    if (recipe == "g10")
        return MakeClip("rec_g10.mp4", av + "-t 4 -c:v libx264 -bf 0 -g 10 -sc_threshold 0 -video_track_timescale 25 -c:a aac");
    // ffmpeg's defaults: B-frames, so the first decode time is negative (MP4)
    // or missing from the first packets (Matroska). "ts": AAC in ADTS frames
    // and H.264 as a byte stream, times from 11.4 s; "opusmkv": Opus, whose
    // first packet lies between the first picture's decode and presentation
    // times.
    const std::string bf = av + "-t 4 -c:v libx264 -bf 2 -g 25 -sc_threshold 0 ";
    if (recipe == "ts")
        return MakeClip("rec_ts.ts", bf + "-c:a aac -output_ts_offset 10");
    if (recipe == "opusmkv")
        return MakeClip("rec_opus.mkv", bf + "-c:a libopus");
    return MakeClip("rec_" + recipe + (recipe == "bfmkv" ? ".mkv" : ".mp4"), bf + "-c:a aac");
}

struct Step {
    enum Kind { Video, Codec, AudioCodec, Lost, Back, Split, Clock, End } kind;
    int from = 0, to = 0; // Video: pictures [from, to); Clock: seconds
    std::string name;     // Split: the next file
};
Step V(int from, int to) { return {Step::Video, from, to, ""}; }
Step Split(const std::string& name) { return {Step::Split, 0, 0, name}; }
Step ClockAt(int seconds) { return {Step::Clock, seconds, 0, ""}; }
const Step kCodec{Step::Codec, 0, 0, ""}, kAudio{Step::AudioCodec, 0, 0, ""}, kLost{Step::Lost, 0, 0, ""},
    kBack{Step::Back, 0, 0, ""}, kEnd{Step::End, 0, 0, ""};

struct File {
    std::string name;
    int from, to;     // the source pictures it holds
    int audioTo = -1; // sound pushed before this picture, when not `to`
    bool soundLeftOut = false; // the container cannot hold the sound codec
};

struct Scenario {
    const char* name;
    const char* clip;
    std::string first; // the name the recording starts with
    std::vector<Step> steps;
    std::vector<File> files;
    bool fails = false;           // a file cannot be written: FileSinkError
    std::vector<int> extraPoints = {}; // sync points besides each file's first and last picture
    double segment = 0.0;              // segment seconds, and the segments' name pattern
    std::string pattern = "";
    std::vector<std::string> present = {}; // someone else's files in the folder, never written over
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// The sink without its write thread: Drain is one pass of the thread's loop.
class DrivenSink : public SyncingFileSink {
public:
    using SyncingFileSink::SyncingFileSink;
    void Drain() { _WriteQueueToFile(); }
};

class RecordingScenario : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override
    {
        folder = fs::absolute(FreshFolder(std::string("record_out/") + GetParam().name)); // no "." in the folders
        for (const auto& f : GetParam().files)
            fs::create_directories((folder / f.name).parent_path());
        clip = Demux(ClipFor(GetParam().clip));
        payloads = ReadPayloads(ClipFor(GetParam().clip));
        video = clip.Video();
        for (const auto& p : clip.packets)
            if (!IsVideo(p))
                audioIndex[p.get()] = audioIndex.size();
        for (size_t n = 0; n < video.size(); ++n) { // capture times 40 ms apart, every third untrusted
            video[n]->liveTime = kCaptureStart + static_cast<int64_t>(n) * 400000;
            video[n]->liveFlag = n % 3 != 0;
        }
        sink.SetMessenger(&messages);
    }
    std::string In(const std::string& name) const { return (folder / name).string(); }

    void Play(const Step& step)
    {
        switch (step.kind) {
        case Step::Video:
            for (size_t i = clip.VideoPosition(step.from); i < clip.VideoPosition(step.to); ++i)
                sink.FFProcess(clip.packets[i]);
            break;
        case Step::Codec: // the same streams described anew
            sink.FFProcess(std::make_shared<FFAVCodec>(clip.codec->video, clip.codec->audio));
            break;
        case Step::AudioCodec:
            sink.FFProcess(clip.codec->audio);
            break;
        case Step::Lost:
        case Step::Back:
            sink.FFProcess(std::make_shared<FFConnectionInfo>(
                step.kind == Step::Lost ? ConnectionStatus::ConnectionLost : ConnectionStatus::Connected, "camera"));
            break;
        case Step::Split:
            Drain();
            sink.SetNextFileName(In(step.name));
            break;
        case Step::Clock:
            Drain();
            now = kCaptureStart + step.from * kSecond;
            break;
        case Step::End:
            sink.FFProcess(std::make_shared<FFEOSInfo>());
            break;
        }
    }
    void Drain()
    {
        try {
            sink.Drain();
        } catch (const std::exception&) {
            ++thrown; // the write thread reports this as FileSinkError
        }
    }

    // The decode time of picture n in video ticks; where the source leaves it
    // open (B-frames in Matroska), one frame before each picture after it up
    // to the first that has one.
    int64_t DecodeTime(int n) const
    {
        for (size_t k = size_t(n); k < video.size(); ++k)
            if (video[k]->Get()->dts != AV_NOPTS_VALUE)
                return video[k]->Get()->dts - int64_t(k - n) * video[n]->Get()->duration;
        return video[n]->Get()->pts;
    }

    // Sound the file must hold: what was pushed among its pictures, from its
    // first picture's decode time on.
    std::vector<std::shared_ptr<FFPacket>> AudioOf(const File& f) const
    {
        std::vector<std::shared_ptr<FFPacket>> audio;
        if (f.soundLeftOut)
            return audio;
        const double start = static_cast<double>(DecodeTime(f.from)) * av_q2d(clip.codec->video->TimeBase());
        for (size_t i = clip.VideoPosition(f.from); i < clip.VideoPosition(f.audioTo < 0 ? f.to : f.audioTo); ++i) {
            const auto& p = clip.packets[i];
            if (!IsVideo(p) && static_cast<double>(p->Get()->dts) * av_q2d(clip.codec->audio->TimeBase()) >= start - 1e-9)
                audio.push_back(p);
        }
        return audio;
    }

    // Every picture keeps the source's timing, moved so that the file's
    // first decode time is 0 (to the container's millisecond where it rounds).
    void ExpectSourceTiming(const WrittenFile& r, const File& f) const
    {
        const double tb = av_q2d(clip.codec->video->TimeBase());
        const int64_t start = DecodeTime(f.from);
        std::vector<WrittenPacket> written;
        std::copy_if(r.video.begin(), r.video.end(), std::back_inserter(written), [](const auto& p) { return p.size > 0; });
        ASSERT_EQ(written.size(), size_t(f.to - f.from)) << f.name;
        for (size_t i = 0; i < written.size(); ++i) {
            const AVPacket* s = video[f.from + i]->Get();
            if (!std::isnan(written[i].dts) && s->dts != AV_NOPTS_VALUE) {
                EXPECT_NEAR(written[i].dts, double(s->dts - start) * tb, 0.0011) << f.name << " dts " << i;
            }
            if (!std::isnan(written[i].pts)) {
                EXPECT_NEAR(written[i].pts, double(s->pts - start) * tb, 0.0011) << f.name << " pts " << i;
            }
        }
    }

    // A point names its file, the capture time and trust of its picture, and
    // the picture's time in the file.
    void ExpectPoint(const FFSyncPointArgs& point, int picture, const File& f) const
    {
        const AVPacket* p = video[picture]->Get();
        EXPECT_EQ(point.fileName, In(f.name)) << "picture " << picture;
        EXPECT_NEAR(point.videoTime, double(p->pts - DecodeTime(f.from)) * av_q2d(clip.codec->video->TimeBase()),
                    1e-9) << "picture " << picture;
        EXPECT_EQ(point.PCTimeUTC, video[picture]->liveTime) << "picture " << picture;
        EXPECT_EQ(point.isGood, video[picture]->liveFlag) << "picture " << picture;
    }

    // Each file's packets, counted by ffprobe and compared in one bitstream
    // form: a container may need another form than the source's.
    void ExpectPackets(const WrittenFile& r, const File& f) const
    {
        const auto audio = AudioOf(f);
        EXPECT_EQ(Hashes(r.video).size(), size_t(f.to - f.from)) << f.name << ": pictures";
        EXPECT_EQ(Hashes(r.audio).size(), audio.size()) << f.name << ": sound packets";
        PayloadHashes expected;
        expected.video.assign(payloads.video.begin() + f.from, payloads.video.begin() + f.to);
        for (const auto& p : audio)
            expected.audio.push_back(payloads.audio.at(audioIndex.at(p.get())));
        const PayloadHashes written = ReadPayloads(In(f.name));
        EXPECT_EQ(written.video, expected.video) << f.name;
        EXPECT_EQ(written.audio, expected.audio) << f.name;
    }

    fs::path folder;
    Demuxed clip;
    PayloadHashes payloads; // of the clip
    std::map<const FFPacket*, size_t> audioIndex; // a sound packet's place in its stream
    std::vector<std::shared_ptr<FFPacket>> video;
    std::atomic<int64_t> now{kCaptureStart};
    CapturingMessenger messages{"record-test"};
    DrivenSink sink{[this] { return now.load(); }};
    int thrown = 0;
};

TEST_P(RecordingScenario, FilesNamesPacketsAndSyncPoints)
{
    const Scenario& s = GetParam();
    const std::string theirs = "not a recording";
    for (const auto& name : s.present)
        std::ofstream(In(name)) << theirs;
    RecordingOptions options;
    options.segmentSeconds = s.segment;
    options.namePattern = s.pattern;
    sink.SetRecordingOptions(options);
    sink.SetNextFileName(In(s.first));
    sink.FFProcess(clip.codec);
    for (const Step& step : s.steps)
        Play(step);
    Drain();
    sink.Finish();
    const auto errors = std::count(messages.messages.begin(), messages.messages.end(), FFMessageType::FileSinkError);
    EXPECT_EQ(thrown + errors > 0, s.fails) << thrown << " thrown, " << errors << " reported";

    std::vector<std::string> names, expectedNames;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            names.push_back(fs::relative(e.path(), folder).string());
    for (const auto& f : s.files)
        expectedNames.push_back(f.name);
    expectedNames.insert(expectedNames.end(), s.present.begin(), s.present.end());
    std::sort(names.begin(), names.end());
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(names, expectedNames) << "follow-on files stay in the folder, named by their markers, none written over";
    for (const auto& name : s.present)
        EXPECT_EQ(ReadBytes(In(name)), std::vector<uint8_t>(theirs.begin(), theirs.end())) << name;

    std::vector<std::pair<int, const File*>> expectedPoints;
    for (const auto& f : s.files) {
        const WrittenFile r = ReadWritten(In(f.name));
        ExpectWellFormed(r, f.name);
        ExpectPackets(r, f);
        ExpectSourceTiming(r, f);
        expectedPoints.emplace_back(f.from, &f);
        for (int extra : s.extraPoints)
            if (extra > f.from && extra < f.to - 1)
                expectedPoints.emplace_back(extra, &f);
        expectedPoints.emplace_back(f.to - 1, &f);
    }
    if (s.fails)
        return; // a file cut short by the failure has no end point
    ASSERT_EQ(messages.syncPoints.size(), expectedPoints.size());
    for (size_t i = 0; i < expectedPoints.size(); ++i)
        ExpectPoint(messages.syncPoints[i], expectedPoints[i].first, *expectedPoints[i].second);
}

// Pictures of "g25" (75): keys every 25; "g10" (100): every 10; "bf": 100
// with B-frames, keys every 25.
INSTANTIATE_TEST_SUITE_P(
    Scenarios, RecordingScenario,
    ::testing::Values(
        // Fed from after the first key picture: the file starts at the next.
        Scenario{"Mp4FromTheNextKeyPicture", "g25", "rec.mp4", {V(1, 75), kEnd}, {{"rec.mp4", 25, 75}}},
        Scenario{"MkvFromTheNextKeyPicture", "g25", "rec.mkv", {V(1, 75), kEnd}, {{"rec.mkv", 25, 75}}},
        Scenario{"AviFromTheNextKeyPicture", "g25", "rec.avi", {V(1, 75), kEnd}, {{"rec.avi", 25, 75}}},
        Scenario{"BFramesFromANegativeStartMp4", "bf", "rec.mp4", {V(0, 100), kEnd}, {{"rec.mp4", 0, 100}}},
        Scenario{"BFramesMkv", "bf", "rec.mkv", {V(0, 100), kEnd}, {{"rec.mkv", 0, 100}}},
        // Every container pair: the bitstream form each container needs
        // (ADTS sound to one configuration, length-prefixed pictures to a
        // byte stream), every packet kept.
        Scenario{"TsToMp4", "ts", "rec.mp4", {V(0, 100), kEnd}, {{"rec.mp4", 0, 100}}},
        Scenario{"TsToMov", "ts", "rec.mov", {V(0, 100), kEnd}, {{"rec.mov", 0, 100}}},
        Scenario{"TsToMkv", "ts", "rec.mkv", {V(0, 100), kEnd}, {{"rec.mkv", 0, 100}}},
        Scenario{"TsToTs", "ts", "rec.ts", {V(0, 100), kEnd}, {{"rec.ts", 0, 100}}},
        Scenario{"Mp4ToTs", "bf", "rec.ts", {V(0, 100), kEnd}, {{"rec.ts", 0, 100}}},
        Scenario{"MkvToMov", "bfmkv", "rec.mov", {V(0, 100), kEnd}, {{"rec.mov", 0, 100}}},
        // The first picture's decode time comes with a later packet; the
        // sound between it and the first presentation time stays.
        Scenario{"OpusMkvToMp4KeepsSoundFromTheFirstDecodeTime", "opusmkv", "rec.mp4", {V(0, 100), kEnd},
            {{"rec.mp4", 0, 100}}},
        Scenario{"OpusMkvToMovLeavesTheSoundOut", "opusmkv", "rec.mov", {V(0, 100), kEnd},
            {{"rec.mov", 0, 100, -1, true}}},
        // Nothing lost or doubled across a requested split.
        Scenario{"SplitWaitsForTheNextKeyPicture", "g25", "first.mp4", {V(0, 37), Split("second.mp4"), V(37, 75), kEnd},
            {{"first.mp4", 0, 50}, {"second.mp4", 50, 75}}},
        Scenario{"CodecChangesAndALossAccumulateMarkers", "g10", "a.mp4",
            {V(0, 15), kCodec, V(15, 30), kCodec, V(30, 45), kLost, V(45, 60), kCodec, V(60, 75), kEnd},
            {{"a.mp4", 0, 15}, {"a_#1.mp4", 20, 30}, {"a_#2.mp4", 30, 45}, {"a_#2_%1.mp4", 50, 60}, {"a_#2_#3.mp4", 60, 75}}},
        // Markers go into the file name, never a folder; a name without an
        // extension keeps the container of the file before.
        Scenario{"NamesInADottedFolderAndWithoutExtension", "g10", "v1.0/cam.tar.mkv",
            {V(0, 15), kLost, V(15, 30), Split("v1.0/camera"), V(30, 45), kCodec, V(45, 60), kEnd},
            {{"v1.0/cam.tar.mkv", 0, 15}, {"v1.0/cam_%1.tar.mkv", 20, 30}, {"v1.0/camera", 30, 45},
             {"v1.0/camera_#1", 50, 60}}},
        Scenario{"NameSetByTheEngineWinsAndRestartsTheCounters", "g10", "a.mp4",
            {V(0, 15), Split("b.mp4"), kCodec, V(15, 30), kCodec, V(30, 45), kEnd},
            {{"a.mp4", 0, 15}, {"b.mp4", 20, 30}, {"b_#1.mp4", 30, 45}}},
        Scenario{"ChangesBeforeAnyPictureReuseTheFileAndRecordsAfterTheEndAreDropped", "g10", "a.mp4",
            {kCodec, kLost, kBack, kCodec, V(0, 30), kEnd, V(30, 40)}, {{"a.mp4", 0, 30}}},
        Scenario{"AudioDescriptionAloneSplitsAtTheNextKeyPicture", "g10", "a.mp4", {V(0, 15), kAudio, V(15, 30), kEnd},
            {{"a.mp4", 0, 20, 15}, {"a_#1.mp4", 20, 30}}},
        // Ten pictures written per ten seconds of wall clock: a point is due
        // every 30 s, taken by the first picture written at or after it.
        Scenario{"SyncPointEveryThirtySecondsOfWallClock", "g10", "sync.mp4",
            {V(0, 10), ClockAt(10), V(10, 20), ClockAt(20), V(20, 30), ClockAt(30), V(30, 40), ClockAt(40), V(40, 50),
             ClockAt(50), V(50, 60), ClockAt(60), V(60, 70), ClockAt(70), V(70, 80), ClockAt(80), V(80, 90),
             ClockAt(90), V(90, 100), kEnd},
            {{"sync.mp4", 0, 100}}, false, {30, 60, 90}},
        // A segment every key picture (0.4 s). Segments never write over a
        // file: a name taken on disk (the recording's own, someone else's)
        // gets the first free "_n", whether the pattern is constant, names
        // many segments in one second, or repeats as the clock steps back.
        Scenario{"ConstantPatternNumbersEverySegmentAroundAForeignFile", "g10", "cam.mp4", {V(0, 50), kEnd},
            {{"cam.mp4", 0, 10}, {"cam_2.mp4", 10, 20}, {"cam_4.mp4", 20, 30}, {"cam_5.mp4", 30, 40},
             {"cam_6.mp4", 40, 50}},
            false, {}, 0.4, "cam.mp4", {"cam_3.mp4"}},
        Scenario{"TimestampPatternWithSegmentsInOneSecondAndAClockSteppedBack", "g10", "x.mp4",
            {V(0, 25), ClockAt(1), V(25, 45), ClockAt(0), V(45, 70), kEnd},
            {{"s00.mp4", 0, 10}, {"s00_2.mp4", 10, 20}, {"s00_3.mp4", 20, 30}, {"s01.mp4", 30, 40},
             {"s01_2.mp4", 40, 50}, {"s00_4.mp4", 50, 60}, {"s00_5.mp4", 60, 70}},
            false, {}, 0.4, "s%S.mp4"},
        // Write failures: FileSinkError, and what was written so far stays complete.
        Scenario{"UnwritableFirstFile", "g25", "missing/rec.mp4", {V(0, 75), kEnd}, {}, true},
        Scenario{"UnwritableSplitKeepsTheCurrentFile", "g25", "ok.mp4", {V(0, 37), Split("missing/next.mp4"), V(37, 75)},
            {{"ok.mp4", 0, 50}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The container writer on its own: failed preparations leave it reusable, a
// video-only description makes a video-only file, and decode times that do
// not increase are moved just past the last (presentation order untouched).
// Rows: the clip, the decode (= presentation unless B-frames) times given
// to the writer in ticks, and the times expected back in seconds.
struct RepairCase {
    const char* name;
    bool bframes;
    std::vector<int64_t> dts;        // given; presentation times are the clip's
    std::vector<double> writtenDts;  // seconds, as ffprobe reads them
};

class FFFileRepair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(FFFileRepair, AfterFailedPreparationsNonIncreasingDecodeTimesMovePastTheLastAndNothingIsDropped)
{
    const RepairCase& c = GetParam();
    const Demuxed clip = Demux(ClipFor(c.bframes ? "bf" : "g25"));
    const auto video = clip.Video();
    const int64_t start = video[0]->Get()->dts;
    const fs::path folder = fs::current_path() / "record_out" / "writer";
    fs::create_directories(folder);
    auto Out = [&](const std::string& name) { return (folder / name).string(); };
    const std::string path = Out(std::string(c.name) + (c.bframes ? ".mp4" : ".mkv"));
    {
        FFFile file;
        file.Finish(); // nothing to finish
        EXPECT_THROW(file.PrepareFile(Out("x.qqq"), clip.codec), std::invalid_argument);
        EXPECT_THROW(file.PrepareFile(Out("x.mp4"), std::shared_ptr<FFAVCodec>()), std::invalid_argument);
        EXPECT_THROW(file.PrepareFile(Out("missing/x.mp4"), clip.codec), std::runtime_error);
        file.Finish();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(fs::exists(Out("x.mp4")) || fs::exists(Out("missing")));
        ASSERT_EQ(file.PrepareFile(path, clip.codec->video), 0);
        for (size_t i = 0; i < c.dts.size(); ++i) {
            AVPacketPtr p = MakePacket(); // the writer takes what it is given
            av_packet_ref(p.get(), video[i]->Get());
            p->dts = c.dts[i];
            p->pts = c.bframes ? video[i]->Get()->pts - start : c.dts[i];
            p->stream_index = 0;
            p->duration = video[i]->Get()->duration;
            file.WriteVideoPacket(p.get());
        }
    } // the destructor finishes the file
    const WrittenFile r = ReadWritten(path);
    EXPECT_TRUE(r.errors.empty()) << r.errors;
    EXPECT_TRUE(r.audio.empty());
    ASSERT_EQ(r.video.size(), c.dts.size());
    EXPECT_EQ(Hashes(r.video), Hashes(std::vector<std::shared_ptr<FFPacket>>(video.begin(), video.begin() + long(c.dts.size()))));
    const double tb = av_q2d(clip.codec->video->TimeBase());
    for (size_t i = 0; i < c.dts.size(); ++i) {
        EXPECT_NEAR(c.bframes ? r.video[i].dts : r.video[i].pts, c.writtenDts[i], 1e-6) << "packet " << i;
        if (c.bframes) { // B-frame order is kept: pictures show when they should
            EXPECT_NEAR(r.video[i].pts, double(video[i]->Get()->pts - start) * tb, 1e-6) << "packet " << i;
        }
    }
}

// Frame numbers in 1/25 (Matroska keeps milliseconds): a repeat and a jump
// back go one millisecond past their predecessor. With B-frames (1/12800,
// 512 ticks a frame) a repeated decode time moves one tick on.
INSTANTIATE_TEST_SUITE_P(
    Cases, FFFileRepair,
    ::testing::Values(RepairCase{"RepeatAndJumpBack", false, {0, 1, 2, 3, 4, 4, 6, 7, 2, 9},
                                 {0.0, 0.040, 0.080, 0.120, 0.160, 0.161, 0.240, 0.280, 0.281, 0.360}},
                      RepairCase{"BFrameRepeatedDecodeTime", true, {0, 512, 1024, 1536, 1536, 2560},
                                 {0.0, 0.04, 0.08, 0.12, 0.12 + 1 / 12800.0, 0.20}}),
    [](const auto& info) { return std::string(info.param.name); });

// Recording through the facade while the application plays a B-frame file
// whose first packets come without a decode time (as the ffmpeg tool writes
// Matroska): a name given before the start waits for the engine, a split
// asked for during playback gives two files that join to exactly the source
// from its first picture, and the application gets a sync point as each file
// starts and ends.
TEST(RecordingFacade, SplitDuringPlaybackGivesTwoFilesThatJoinToTheSourceWithAPointAtEachEnd)
{
    const std::string clip = ClipFor("bfmkv");
    const auto video = Demux(clip).Video();
    const fs::path folder = FreshFolder("record_out/facade");
    const std::string first = (folder / "first.mp4").string(), second = (folder / "second.mp4").string();

    FacadeEvents events;
    FFFileWrapper recorder("RecordingFacadeTest");
    events.Attach(recorder);
    bool pending = true;
    EXPECT_FALSE(recorder.IsVideoSave(pending)); // no source: nothing pending, nothing breaks
    EXPECT_FALSE(pending);
    ASSERT_TRUE(recorder.OpenSource(clip));
    recorder.DecodeVideo(AV_PIX_FMT_BGR24);
    recorder.SaveToVideoFile(first);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(recorder.IsVideoSave(pending));
    EXPECT_TRUE(pending) << "the name waits for the engine";
    EXPECT_FALSE(fs::exists(first));
    ASSERT_TRUE(recorder.StartEngine());

    // A picture every few milliseconds, so the recording drains several
    // times meanwhile. The split is asked for at picture 5: the source runs
    // up to a decoder queue (51 packets) ahead of the reader, and the split
    // needs a key picture still to come in the 100-picture clip.
    FrameData frame;
    int pictures = 0;
    ASSERT_TRUE(WaitFor([&] {
        const int size = recorder.ReadFrameGetSize(&frame);
        if (size > 0 && ++pictures == 5) {
            // The write thread begins the first file on its own schedule; a
            // split asked for before that replaces the first name instead.
            EXPECT_TRUE(WaitFor([&] {
                bool p = true;
                return recorder.IsVideoSave(p) && !p;
            }));
            recorder.SplitFile(second);
        }
        std::this_thread::sleep_for(size > 0 ? 5ms : 1ms);
        return size < 0;
    }, 60s)) << "no end of stream";
    EXPECT_EQ(pictures, int(video.size()));
    // The end of stream closes the source, and with it the second file.
    ASSERT_TRUE(WaitFor([&] {
        bool p = false;
        return !recorder.IsVideoSave(p) && !p;
    }));
    recorder.Dispose();
    EXPECT_FALSE(recorder.IsVideoSave(pending)); // disposed: answers without an engine
    EXPECT_FALSE(pending);

    const WrittenFile a = ReadWritten(first), b = ReadWritten(second);
    ExpectWellFormed(a, first);
    ExpectWellFormed(b, second);
    EXPECT_FALSE(a.audio.empty() || b.audio.empty());
    auto joined = Hashes(a.video);
    for (const auto& h : Hashes(b.video))
        joined.push_back(h);
    EXPECT_EQ(joined, Hashes(video));
    EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i '" + first + "' -i '" + second + "' -map 0 -map 1 -f null - 2>&1"), "");

    EXPECT_EQ(events.Text(), "message " + std::to_string(int(FFMessageType::EndOfStream)) + "\n");
    const auto points = events.SyncPoints();
    ASSERT_EQ(points.size(), 4u);
    const std::vector<std::string> files = {first, first, second, second};
    for (size_t i = 0; i < points.size(); ++i) { // their times are checked in the scenario table
        EXPECT_EQ(points[i].fileName, files[i]) << i;
        EXPECT_EQ(points[i].PCTimeUTC.time_since_epoch().count(), 0) << i; // a file has no capture time
        EXPECT_TRUE(points[i].isGood) << i;
    }
}

// The sync-point files print capture times with this.
TEST(SyncTimeFormat, UtcWithMillisecondsOrInvalid)
{
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(kCaptureStart + 12345678), "2017-07-14 02:40:01.234");
    EXPECT_EQ(SyncingFileSink::FormatUtcTicks(-1), "Invalid timepoint");
}

} // namespace

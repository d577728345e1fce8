// Frame-exact seeking in every container the ffmpeg tool writes: after a
// seek, playing or paused, forwards or backwards, the engine shows the first
// picture at or after the target, byte for byte the one sequential playback
// of the same file shows at that time; sound resumes with the first block at
// or after that picture. The clips cover a transport stream's start time, B-
// frames, an edit list, packets without decode times and intra-only video.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "facade/Thumbnails.h"
#include "support/EnginePlayback.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

struct Container {
    const char* name;
    const char* file;
    const char* codecs;
    // Times each sought paused and playing besides the drawn targets.
    std::vector<double> targets = {};
};

const std::string kSources = "-f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i "
                             "sine=frequency=330:sample_rate=48000 -t 3 ";

const Container kContainers[] = {
    {"Mpeg2TsStartTime", "seek_mpeg2.ts", "-c:v mpeg2video -g 12 -bf 2 -sc_threshold 1000000000 -c:a mp2"},
    {"H264TsStartTen", "seek_h264.ts", "-c:v libx264 -bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a mp2 "
                                       "-muxdelay 0 -muxpreload 0 -output_ts_offset 10"},
    // Timestamps pass 2^33 ticks of 90 kHz (95443.7 s) one second in.
    {"H264TsWrap", "seek_wrap.ts", "-c:v libx264 -bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a mp2 "
                                   "-muxdelay 0 -muxpreload 0 -output_ts_offset 95442.7"},
    {"H264Mp4EditList", "seek_h264.mp4", "-c:v libx264 -bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac"},
    // No reordering: a picture leaves the decoder as soon as its packet is in.
    {"H264Mp4NoReorder", "seek_h264_bf0.mp4", "-c:v libx264 -bf 0 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac"},
    {"H264MkvNoFirstDts", "seek_h264.mkv", "-c:v libx264 -bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac"},
    {"HevcMkv", "seek_hevc.mkv", "-c:v libx265 -x265-params log-level=error:keyint=25:min-keyint=25:bframes=2:"
                                 "scenecut=0 -pix_fmt yuv420p -c:a aac"},
    {"Vp9WebM", "seek_vp9.webm", "-c:v libvpx-vp9 -g 25 -deadline realtime -cpu-used 8 -c:a libopus"},
    // As the ffmpeg tool writes it by default: AAC in ADTS, a 1.4 s mux delay,
    // one key picture.
    {"H264AacTsStartTime", "seek_h264_aac.ts", "-c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac -output_ts_offset 10"},
    // Key pictures every 1.6 s from 11.4 s: the targets land on the two P
    // pictures just before a key picture (and on the key pictures after them).
    {"H264AacTsLongGop", "seek_h264_gop40.ts", "-t 8 -c:v libx264 -bf 2 -g 40 -pix_fmt yuv420p -c:a aac "
                                               "-ac 2 -output_ts_offset 10",
     {14.52, 14.56, 16.108, 16.12, 16.16, 17.72, 17.76}},
    {"Mpeg4Avi", "seek_mpeg4.avi", "-c:v mpeg4 -g 12 -bf 2 -c:a libmp3lame"},
    {"MjpegAvi", "seek_mjpeg.avi", "-c:v mjpeg -q:v 5 -pix_fmt yuvj420p -c:a pcm_s16le"},
};

// What sequential playback shows: every picture's time and content, and the
// times of the sound blocks it plays.
struct Playback {
    std::vector<double> times;
    std::vector<uint64_t> hashes;
    std::vector<double> audio;

    // The first picture at or after `t`; -1 past the end.
    int AtOrAfter(double t) const
    {
        const auto it = std::lower_bound(times.begin(), times.end(), t - 1e-9);
        return it == times.end() ? -1 : static_cast<int>(it - times.begin());
    }
};

// Plays the clip (made on first use) with `host` reading the sound.
bool Start(FFEngine& engine, const Container& c, RecordingHost& host, int threads = 1)
{
    UseDecodingThreads(engine, threads);
    if (!engine.OpenSource(MakeClip(c.file, kSources + c.codecs)))
        return false;
    engine.PrepareVideoDecode(AV_PIX_FMT_BGR24);
    const bool started = engine.StartEngine();
    engine.SetAudioInterface(&host);
    return started;
}

// Reads one sound block into `t`; false when the engine hands out none. Block
// times may be negative (a wrapped stream, Opus pre-skip), so the host tells.
bool ReadBlock(FFEngine& engine, const RecordingHost& host, double& t)
{
    const int filled = host.submits - host.emptySubmits;
    t = engine.ReadAudioFromInterface();
    return host.submits - host.emptySubmits > filled;
}

// Thumbnails 96 pixels wide of `file` at `times`, by two workers.
std::vector<FFWrapperCLI::Thumbnail> Thumbnails96(const std::string& file, std::vector<double> times, bool exact,
                                                 std::string* failure = nullptr)
{
    FFWrapperCLI::ThumbnailRequest request;
    request.times = std::move(times);
    request.width = 96;
    request.exact = exact;
    request.workers = 2;
    return FFWrapperCLI::ExtractThumbnails(file, request, failure);
}

const Playback& Sequential(const Container& c)
{
    static std::map<std::string, Playback> made;
    if (auto found = made.find(c.file); found != made.end())
        return found->second;
    Playback p;
    FFEngine engine("SeekAccuracyTest");
    RecordingHost host(4096, 1);
    EXPECT_TRUE(Start(engine, c, host));
    for (Shown s; (s = NextPicture(engine)).size > 0;) {
        p.times.push_back(s.time);
        p.hashes.push_back(Fnv1a(s.pixels));
        for (double t; ReadBlock(engine, host, t);)
            p.audio.push_back(t);
    }
    for (double t; ReadBlock(engine, host, t);)
        p.audio.push_back(t);
    engine.CloseSource();
    std::sort(p.audio.begin(), p.audio.end());
    return made.emplace(c.file, std::move(p)).first->second;
}

// One check: seek to `target` (after `before`, when set, without reading in
// between), with the engine paused or playing; `played` pictures are read
// first (playing) and the engine paused just before the seek.
struct Step {
    const char* what;
    double target;
    bool paused;
    double before = -1e9;
    int played = 0;
};

// Targets drawn from the clip's own picture times with a fixed seed. Past the
// last picture nothing is shown and the seek stays pending; the next one lands.
std::vector<Step> Steps(const Container& c, const Playback& p, unsigned seed)
{
    std::mt19937 rng(seed);
    const size_t n = p.times.size();
    const auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    const auto between = [&](size_t i) { return (p.times[i] + p.times[i + 1]) / 2; };
    const size_t late = pick(n / 2, n - 3);
    std::vector<Step> steps = {
        {"paused after playing from the start", between(late), true, -1e9, 7},
        {"zero", 0.0, false},
        {"on a picture", p.times[pick(n / 4, n - 2)], false},
        {"between pictures", between(pick(1, n - 2)), false},
        {"the last picture", p.times[n - 1], false},
        {"past the end", p.times[n - 1] + 1.0, false},
        {"backwards", between(pick(1, n / 3)), false},
        {"two in a row", p.times[pick(1, n - 2)], false, between(pick(1, n - 2))},
        {"paused, between pictures", between(late), true},
        {"paused, backwards", p.times[pick(1, late - 1)], true},
        {"paused, on a picture", p.times[pick(1, n - 2)], true},
        {"paused, two in a row", between(pick(1, n - 2)), true, p.times[pick(1, n - 2)]},
        {"paused, the last picture", p.times[n - 1], true},
        {"paused, before the first picture", p.times[0] - 0.5, true},
    };
    for (double t : c.targets) { // paused after playing on from the landing before
        steps.push_back({"the clip's own target, playing", t, false});
        steps.push_back({"the clip's own target, paused", t, true, -1e9, 8});
    }
    return steps;
}

// Reads (and counts) pictures until the traffic node falls back to Paused.
int PicturesUntilPaused(FFEngine& engine)
{
    int pictures = 0;
    WaitFor([&] {
        if (engine.IsPause())
            return true;
        pictures += engine.ReadVideo().size > 0;
        return false;
    }, 5s);
    return pictures;
}

// The time of the first block after a seek; NaN when none comes within
// `limit` (long when a block is due, so a loaded machine does not fail it).
double FirstAudioTime(FFEngine& engine, const RecordingHost& host, std::chrono::milliseconds limit)
{
    double t = 0.0;
    return WaitFor([&] { return ReadBlock(engine, host, t); }, limit) ? t : std::nan("");
}

// Every clip with one decoding thread and with automatic threads, which hold
// pictures back in the decoder.
class SeekAccuracy : public ::testing::TestWithParam<std::tuple<Container, int>> {};

TEST_P(SeekAccuracy, LandsOnTheSequentialPictureSoundFollowsAndContinuePlaysTheRest)
{
    const auto& [clip, threads] = GetParam();
    const Playback& p = Sequential(clip);
    ASSERT_GE(p.times.size(), 60u) << "sequential playback";
    ASSERT_TRUE(std::is_sorted(p.times.begin(), p.times.end()));

    FFEngine engine("SeekAccuracyTest");
    RecordingHost host(4096, 1);
    ASSERT_TRUE(Start(engine, clip, host, threads));
    ASSERT_GT(NextPicture(engine).size, 0);

    for (const Step& step : Steps(clip, p, 12)) {
        const std::string what = std::string(step.what) + " at " + std::to_string(step.target);
        for (int i = 0; i < step.played; ++i)
            ASSERT_GT(NextPicture(engine).size, 0) << what << ": playing";
        if (step.paused && !engine.IsPause())
            engine.Pause();
        if (!step.paused && engine.IsPause())
            engine.Continue();
        if (step.before > -1e9)
            engine.Seek(step.before);
        engine.Seek(step.target);
        const int expected = p.AtOrAfter(step.target);
        if (expected < 0) {
            const Shown none = NextPicture(engine, 1500ms);
            EXPECT_EQ(none.size, 0) << what;
            EXPECT_EQ(none.status, FFStatus::Seeking) << what;
            EXPECT_LT(engine.ReadAudioFromInterface(), 0.0) << what;
            continue;
        }
        const Shown shown = NextPicture(engine);
        EXPECT_GT(shown.size, 0) << what << ": no picture";
        if (shown.size <= 0)
            continue; // the next seek starts afresh
        EXPECT_NEAR(shown.time, p.times[static_cast<size_t>(expected)], 1e-6) << what;
        EXPECT_EQ(Fnv1a(shown.pixels), p.hashes[static_cast<size_t>(expected)]) << what;
        EXPECT_TRUE(shown.first) << what;
        if (step.paused) {
            EXPECT_EQ(PicturesUntilPaused(engine), 0) << what << ": one picture per paused seek";
            continue;
        }
        // Sound resumes with the first block at or after the picture.
        const auto sound = std::lower_bound(p.audio.begin(), p.audio.end(), shown.time - 1e-6);
        const double heard = FirstAudioTime(engine, host, sound == p.audio.end() ? 1s : 10s);
        if (sound == p.audio.end())
            EXPECT_TRUE(std::isnan(heard)) << what;
        else
            EXPECT_NEAR(heard, *sound, 1e-4) << what;
    }

    // Without a sound reader, Continue after a paused seek plays on from the
    // picture on screen, which comes again marked first, then every following
    // picture as sequential playback has it (none lost, none repeated, the
    // decoder's held-back ones included); the end of the stream is marked once.
    engine.SetAudioInterface(nullptr);
    const size_t landing = p.times.size() * 2 / 3;
    engine.Seek(p.times[landing] - 0.001);
    ASSERT_EQ(Fnv1a(NextPicture(engine).pixels), p.hashes[landing]);
    engine.Continue();
    std::vector<uint64_t> rest;
    std::vector<bool> first;
    int endMarkers = 0;
    for (Shown s; (s = NextPicture(engine, endMarkers ? 300ms : 10000ms)).size != 0;) {
        if (s.size > 0) {
            rest.push_back(Fnv1a(s.pixels));
            first.push_back(s.first);
        } else {
            ++endMarkers;
        }
    }
    EXPECT_EQ(rest, std::vector<uint64_t>(p.hashes.begin() + static_cast<long>(landing), p.hashes.end()));
    ASSERT_GE(first.size(), 2u);
    EXPECT_TRUE(first[0]);
    EXPECT_EQ(std::count(first.begin(), first.end(), true), 1);
    EXPECT_EQ(endMarkers, 1);
}

// Thumbnails at a size: exact ones are byte for byte the picture a seek shows
// (the first at or after each time, as sequential playback at that size has
// it), key ones the key picture at or before each time. The times come
// unsorted, some in one group of pictures, one repeated; past the last
// picture an exact thumbnail is an error of its own, and the others still come.
class Thumbnails : public ::testing::TestWithParam<Container> {};

struct SizedPlayback : Playback {
    std::vector<bool> key;
    int width = 0, height = 0;

    // The last key picture at or before `t`.
    int KeyAtOrBefore(double t) const
    {
        int found = -1;
        for (size_t i = 0; i < times.size() && times[i] <= t + 1e-9; ++i)
            if (key[i])
                found = static_cast<int>(i);
        return found;
    }
};

SizedPlayback PlayedAtSize(const Container& c, int width, int height)
{
    SizedPlayback p;
    FFEngine engine("ThumbnailTest");
    RecordingHost host(4096, 1);
    engine.SetPictureSize(width, height);
    EXPECT_TRUE(Start(engine, c, host));
    engine.SetAudioInterface(nullptr);
    for (;;) {
        bool key = false;
        Shown s;
        WaitFor([&] {
            const FFCLIFrame f = engine.ReadVideo();
            s = Take(f);
            if (s.size > 0)
                key = f.frame->CFrame()->key_frame != 0;
            return s.size != 0;
        }, 10s);
        if (s.size <= 0)
            break;
        p.times.push_back(s.time);
        p.hashes.push_back(Fnv1a(s.pixels));
        p.key.push_back(key);
        p.width = s.width;
        p.height = s.height;
    }
    return p;
}

TEST_P(Thumbnails, ExactAreTheSeeksPicturesKeyAreTheKeyPicturesBefore)
{
    const Container& clip = GetParam();
    const SizedPlayback p = PlayedAtSize(clip, 96, 0);
    ASSERT_GE(p.times.size(), 60u);
    ASSERT_EQ(p.width, 96);
    ASSERT_EQ(p.height, 72);
    const size_t n = p.times.size();
    const auto between = [&](size_t i) { return (p.times[i] + p.times[i + 1]) / 2; };
    const std::vector<double> times = {between(n * 3 / 4), p.times[n / 2],     between(n / 2 + 1), 0.0,
                                       p.times[n - 1],     between(n / 2 + 3), p.times[n / 2],     between(5),
                                       p.times[n - 1] + 1.0};
    const std::string file = MakeClip(clip.file, kSources + clip.codecs);
    // Together, times close in the file share one decoding pass; alone, each
    // is the only (and last) time of its pass.
    for (const auto& [exact, alone] : {std::pair{true, false}, {true, true}, {false, false}, {false, true}}) {
        std::string failure;
        const auto extract = [&](std::vector<double> asked) { return Thumbnails96(file, std::move(asked), exact, &failure); };
        std::vector<FFWrapperCLI::Thumbnail> thumbnails;
        if (!alone)
            thumbnails = extract(times);
        for (size_t i = 0; alone && i < times.size(); ++i)
            for (auto& one : extract({times[i]}))
                thumbnails.push_back(std::move(one));
        ASSERT_EQ(thumbnails.size(), times.size()) << failure;
        for (size_t i = 0; i < times.size(); ++i) {
            const auto& t = thumbnails[i];
            const std::string what =
                std::string(exact ? "exact" : "key") + (alone ? " alone" : "") + " at " + std::to_string(times[i]);
            EXPECT_EQ(t.index, alone ? 0 : static_cast<int>(i)) << what;
            EXPECT_EQ(t.requested, times[i]) << what;
            const int expected = exact ? p.AtOrAfter(times[i]) : std::max(p.KeyAtOrBefore(times[i]), 0);
            if (expected < 0) {
                EXPECT_FALSE(t.error.empty()) << what << ": past the last picture";
                EXPECT_TRUE(t.picture.frame.empty()) << what;
                continue;
            }
            ASSERT_TRUE(t.error.empty()) << what << ": " << t.error;
            // AVI keeps no presentation times: a key picture decoded alone has its decode time.
            if (exact || !std::string(clip.file).ends_with(".avi")) {
                EXPECT_NEAR(t.picture.frameTime, p.times[static_cast<size_t>(expected)], 1e-6) << what;
            }
            EXPECT_EQ(t.picture.width, 96) << what;
            EXPECT_EQ(t.picture.height, 72) << what;
            EXPECT_EQ(Fnv1a(t.picture.frame), p.hashes[static_cast<size_t>(expected)]) << what;
        }
    }
}

// A worker that seeks on from one time to the next keeps its decoder (an IDR
// picture starts it over when nothing is held back) or empties it first: its
// pictures are byte for byte those of a worker that starts afresh for each
// time. The times lie further apart than a worker decodes on.
TEST(ThumbnailSeeks, AWorkerSeekingOnShowsWhatAFreshWorkerShows)
{
    const std::pair<const char*, const char*> clips[] = {
        {"seek_on_bf0.mp4", "-t 12 -c:v libx264 -bf 0 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac"},
        {"seek_on_bf0.ts", "-t 12 -c:v libx264 -bf 0 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a mp2"},
        {"seek_on_bf2.mp4", "-t 12 -c:v libx264 -bf 2 -g 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac"},
    };
    const std::vector<double> times = {0.5, 3.7, 6.46, 9.3, 11.9};
    for (const auto& [name, codecs] : clips) {
        const std::string file = MakeClip(name, kSources + codecs);
        const auto extract = [&](std::vector<double> asked) { return Thumbnails96(file, std::move(asked), true); };
        const auto together = extract(times);
        ASSERT_EQ(together.size(), times.size()) << name;
        for (size_t i = 0; i < times.size(); ++i) {
            const auto alone = extract({times[i]});
            ASSERT_EQ(alone.size(), 1u) << name;
            const std::string what = std::string(name) + " at " + std::to_string(times[i]);
            ASSERT_TRUE(together[i].error.empty() && alone[0].error.empty()) << what << ": " << together[i].error;
            EXPECT_NEAR(together[i].picture.frameTime, alone[0].picture.frameTime, 1e-9) << what;
            EXPECT_GE(together[i].picture.frameTime, times[i] - 1e-9) << what;
            EXPECT_EQ(Fnv1a(together[i].picture.frame), Fnv1a(alone[0].picture.frame)) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, Thumbnails, ::testing::ValuesIn(kContainers),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Containers, SeekAccuracy,
                         ::testing::Combine(::testing::ValuesIn(kContainers), DecodingThreadsUnderTest()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    DecodingThreadsName(std::get<1>(info.param));
                         });

} // namespace

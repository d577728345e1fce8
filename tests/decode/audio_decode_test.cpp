// Audio decoding: 16-bit interleaved PCM against the ffmpeg tool, the
// pass-through rule, host buffer resizing and audio after a seek.
#include "DecodeTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "decode/FFPCMConvert.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

using namespace DecodeTest;
using namespace Quillet;

namespace {

struct AudioRun {
    std::vector<int16_t> samples;
    std::vector<double> times;
};

// Feeds an audio-only record list and pulls one host buffer at a time until
// every record is used up.
AudioRun ReadAllAudio(FFDecode& decode, const std::vector<std::shared_ptr<FFData>>& records, size_t bufferSize)
{
    AudioRun run;
    size_t next = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        while (next < records.size() && decode.AudioQueueSize() < 500)
            decode.FFProcess(records[next++]);
        double t = -1.0;
        AudioBufferList buffers{std::make_shared<std::vector<uint8_t>>(bufferSize)};
        AudioBufferList filled = decode.ReadAudio(buffers, &t);
        for (const auto& b : filled) {
            const size_t n = b->size() / 2;
            const size_t at = run.samples.size();
            run.samples.resize(at + n);
            std::memcpy(&run.samples[at], b->data(), n * 2);
            run.times.push_back(t);
        }
        if (filled.empty() && next >= records.size() && decode.AudioQueueSize() == 0)
            break;
    }
    return run;
}

std::vector<int16_t> ReferencePcm(const std::string& clip, int channels)
{
    const std::string out = clip + ".s16";
    if (!MakeMedia(out, "-i " + clip + " -ac " + std::to_string(channels) + " -f s16le"))
        return {};
    const std::vector<uint8_t> bytes = ReadFile(out);
    std::vector<int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

AudioRun DecodeAudioClip(const std::string& clip, RecordingMessenger* messenger = nullptr)
{
    Demuxed d = Demux(clip, false, true);
    FFDecode decode;
    if (messenger)
        decode.SetMessenger(messenger);
    return ReadAllAudio(decode, d.records, 4096);
}

int MaxDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    int worst = 0;
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

const char* kStereoExpr = "aevalsrc='0.5*sin(440*2*PI*t)|0.3*sin(660*2*PI*t)'";

} // namespace

TEST(FFDecodeAudio, SixteenBitStereoPcmIsSampleExact)
{
    const char* clip = "aud_stereo.wav";
    ASSERT_TRUE(MakeMedia(clip, std::string("-f lavfi -i ") + kStereoExpr + ":s=44100:d=0.7 -c:a pcm_s16le"));
    RecordingMessenger messenger("audio-stereo");
    AudioRun run = DecodeAudioClip(clip, &messenger);
    const std::vector<int16_t> ref = ReferencePcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(run.samples, ref);
    // Host buffers of the wrong size were resized, and said so.
    EXPECT_GE(messenger.CountLinesStartingWith("WARN Changing the length of a predefined audio buffer: 4096 ---> "), 1);
    // Already 16-bit interleaved stereo: no resampler was ever set up.
    EXPECT_EQ(messenger.CountLinesStartingWith("INFO FFPCMConvert::_Initialize"), 0);
    EXPECT_TRUE(std::is_sorted(run.times.begin(), run.times.end()));
    EXPECT_DOUBLE_EQ(run.times.front(), 0.0);
}

TEST(FFDecodeAudio, SixteenBitMonoPcmStaysMonoAndIsSampleExact)
{
    const char* clip = "aud_mono.wav";
    ASSERT_TRUE(MakeMedia(clip, "-f lavfi -i aevalsrc='0.6*sin(300*2*PI*t)':s=22050:d=0.7 -c:a pcm_s16le"));
    AudioRun run = DecodeAudioClip(clip);
    const std::vector<int16_t> ref = ReferencePcm(clip, 1);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(run.samples, ref);
}

TEST(FFDecodeAudio, AacMatchesFfmpegWithinASmallError)
{
    const char* clip = "aud_aac.m4a";
    ASSERT_TRUE(MakeMedia(clip, std::string("-f lavfi -i ") + kStereoExpr + ":s=48000:d=0.7 -c:a aac -b:a 128k"));
    AudioRun run = DecodeAudioClip(clip);
    const std::vector<int16_t> ref = ReferencePcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    // The last block may be trimmed differently; everything else lines up.
    EXPECT_LE(std::abs(static_cast<long>(run.samples.size()) - static_cast<long>(ref.size())), 2 * 1024);
    EXPECT_LE(MaxDifference(run.samples, ref), 2);
}

TEST(FFDecodeAudio, FivePointOneAc3IsMixedDownToStereo)
{
    const char* clip = "aud_51.mka";
    ASSERT_TRUE(MakeMedia(clip, "-f lavfi -i aevalsrc='0.3*sin(200*2*PI*t)|0.3*sin(300*2*PI*t)|0.3*sin(400*2*PI*t)|"
                                "0.2*sin(50*2*PI*t)|0.3*sin(500*2*PI*t)|0.3*sin(600*2*PI*t)':s=48000:d=0.7:c=5.1 "
                                "-c:a ac3 -b:a 384k"));
    RecordingMessenger messenger("audio-51");
    AudioRun run = DecodeAudioClip(clip, &messenger);
    const std::vector<int16_t> ref = ReferencePcm(clip, 2);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(run.samples.size(), ref.size());
    EXPECT_LE(MaxDifference(run.samples, ref), 2);
    EXPECT_EQ(messenger.CountLinesStartingWith("INFO FFPCMConvert::_Initialize"), 1);
}

TEST(FFPCMConvertShape, PassThroughOnlyForInterleavedSixteenBitUpToTwoChannels)
{
    auto block = [](int channels, AVSampleFormat fmt) {
        auto f = std::make_unique<FFFrame>();
        AVFrame* a = f->CFrame();
        a->format = fmt;
        a->nb_samples = 256;
        a->sample_rate = 48000;
        av_channel_layout_default(&a->ch_layout, channels);
        if (av_frame_get_buffer(a, 0) < 0)
            throw std::bad_alloc();
        av_samples_set_silence(a->extended_data, 0, 256, channels, fmt);
        return f;
    };
    FFPCMConvert convert;
    auto stereo = block(2, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(convert.Convert(*stereo), stereo.get());
    EXPECT_FALSE(convert.HasResampler());

    auto mono = block(1, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(convert.Convert(*mono), mono.get());
    EXPECT_FALSE(convert.HasResampler());
    EXPECT_EQ(convert.OutputChannels(), 1);

    auto six = block(6, AV_SAMPLE_FMT_FLTP);
    FFFrame* out = convert.Convert(*six);
    EXPECT_NE(out, six.get());
    EXPECT_TRUE(convert.HasResampler());
    EXPECT_EQ(out->GetAudioSize(), 256 * 2 * 2);

    // A float stereo block after the 5.1 one rebuilds the resampler for its own shape.
    auto fstereo = block(2, AV_SAMPLE_FMT_FLTP);
    out = convert.Convert(*fstereo);
    EXPECT_EQ(out->GetAudioSize(), 256 * 2 * 2);
    EXPECT_EQ(out->CFrame()->ch_layout.nb_channels, 2);
}

TEST(FFDecodeAudio, DisabledAudioIsDroppedAndTheQueueKeepsItsDescription)
{
    const char* clip = "aud_stereo.wav";
    ASSERT_TRUE(MakeMedia(clip, std::string("-f lavfi -i ") + kStereoExpr + ":s=44100:d=0.7 -c:a pcm_s16le"));
    Demuxed d = Demux(clip, false, true);
    FFDecode decode;
    for (size_t i = 0; i < 5; ++i)
        decode.FFProcess(d.records[i]);
    EXPECT_EQ(decode.AudioQueueSize(), 5u);
    decode.EnableAudio(false);
    EXPECT_EQ(decode.AudioQueueSize(), 1u); // the description only
    decode.FFProcess(d.records[5]);
    EXPECT_EQ(decode.AudioQueueSize(), 1u);
    EXPECT_EQ(decode.VideoQueueSize(), 0u);
    decode.EnableAudio(true);
    decode.FFProcess(d.records[5]);
    EXPECT_EQ(decode.AudioQueueSize(), 2u);
}

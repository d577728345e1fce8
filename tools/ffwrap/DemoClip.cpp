#include "DemoClip.h"

#include <cmath>
#include <functional>
#include <stdexcept>

#include "core/FFAVPtr.h"
#include "core/FFCodecLock.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace Quillet::Tools {
namespace {

struct OutputDeleter {
    void operator()(AVFormatContext* f) const
    {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

void Check(int rc, const char* what)
{
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        throw std::runtime_error(std::string("Demo clip: ") + what + ": " + text);
    }
}

struct Encoder {
    AVCodecContextPtr context;
    AVStream* stream = nullptr;
};

Encoder OpenEncoder(AVFormatContext* out, const AVCodec* codec, const std::function<void(AVCodecContext*)>& setup)
{
    Encoder e;
    e.context = MakeCodecContext(codec);
    setup(e.context.get());
    if (out->oformat->flags & AVFMT_GLOBALHEADER)
        e.context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        Check(avcodec_open2(e.context.get(), codec, nullptr), "opening an encoder");
    }
    e.stream = avformat_new_stream(out, nullptr);
    if (!e.stream)
        throw std::runtime_error("Demo clip: no stream");
    e.stream->time_base = e.context->time_base;
    Check(avcodec_parameters_from_context(e.stream->codecpar, e.context.get()), "stream parameters");
    return e;
}

void Drain(AVFormatContext* out, Encoder& e, AVFrame* frame)
{
    Check(avcodec_send_frame(e.context.get(), frame), "encoding");
    AVPacketPtr pkt = MakePacket();
    for (;;) {
        int rc = avcodec_receive_packet(e.context.get(), pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        Check(rc, "receiving a packet");
        av_packet_rescale_ts(pkt.get(), e.context->time_base, e.stream->time_base);
        pkt->stream_index = e.stream->index;
        Check(av_interleaved_write_frame(out, pkt.get()), "writing");
    }
}

void PaintPicture(AVFrame* f, int index)
{
    // Moving diagonal bands in luma, a slow colour drift in chroma.
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x)
            f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(x + y + index * 3);
    for (int y = 0; y < f->height / 2; ++y)
        for (int x = 0; x < f->width / 2; ++x) {
            f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(128 + y + index * 2);
            f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>(64 + x + index * 5);
        }
}

} // namespace

void WriteDemoClip(const std::string& path, double seconds, int width, int height)
{
    constexpr int kFps = 25;
    constexpr int kRate = 48000;

    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()), "creating the container");
    OutputPtr out(raw);

    const AVCodec* videoCodec = avcodec_find_encoder_by_name("libx264");
    if (!videoCodec)
        videoCodec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    const AVCodec* audioCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!videoCodec || !audioCodec)
        throw std::runtime_error("Demo clip: no H.264/MPEG-4 or AAC encoder in this FFmpeg");

    Encoder video = OpenEncoder(out.get(), videoCodec, [&](AVCodecContext* c) {
        c->width = width;
        c->height = height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, kFps};
        c->framerate = AVRational{kFps, 1};
        c->gop_size = kFps;
        c->max_b_frames = 2;
        c->thread_count = 1;
        av_opt_set(c->priv_data, "preset", "veryfast", 0);
    });
    Encoder audio = OpenEncoder(out.get(), audioCodec, [&](AVCodecContext* c) {
        c->sample_rate = kRate;
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&c->ch_layout, 2);
        c->bit_rate = 96000;
        c->time_base = AVRational{1, kRate};
    });

    Check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "opening the file");
    Check(avformat_write_header(out.get(), nullptr), "writing the header");

    const int frames = static_cast<int>(seconds * kFps);
    const int64_t totalSamples = static_cast<int64_t>(seconds * kRate);
    AVFramePtr picture = MakeFrame();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height;
    Check(av_frame_get_buffer(picture.get(), 0), "picture buffer");

    AVFramePtr samples = MakeFrame();
    samples->format = AV_SAMPLE_FMT_FLTP;
    samples->nb_samples = audio.context->frame_size;
    av_channel_layout_copy(&samples->ch_layout, &audio.context->ch_layout);
    Check(av_frame_get_buffer(samples.get(), 0), "sample buffer");

    int64_t audioPts = 0;
    for (int i = 0; i < frames; ++i) {
        Check(av_frame_make_writable(picture.get()), "picture buffer");
        PaintPicture(picture.get(), i);
        picture->pts = i;
        Drain(out.get(), video, picture.get());
        // Keep audio up to the video time.
        while (audioPts * kFps < static_cast<int64_t>(i + 1) * kRate && audioPts < totalSamples) {
            Check(av_frame_make_writable(samples.get()), "sample buffer");
            for (int s = 0; s < samples->nb_samples; ++s) {
                const double t = static_cast<double>(audioPts + s) / kRate;
                const auto v = static_cast<float>(0.3 * std::sin(2 * M_PI * 440.0 * t));
                reinterpret_cast<float*>(samples->data[0])[s] = v;
                reinterpret_cast<float*>(samples->data[1])[s] = v * 0.5f;
            }
            samples->pts = audioPts;
            Drain(out.get(), audio, samples.get());
            audioPts += samples->nb_samples;
        }
    }
    Drain(out.get(), video, nullptr);
    Drain(out.get(), audio, nullptr);
    Check(av_write_trailer(out.get()), "writing the trailer");
}

} // namespace Quillet::Tools

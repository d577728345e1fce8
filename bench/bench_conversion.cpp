// Picture conversion cost per route: the 4:2:0 image primitive against
// libyuv's own routine and the general scaler for the same pair, and a 4:2:2
// source on the scaler. The banded rows give the primitive helper threads as
// a decoder with automatic threads does: their real time is what the reading
// thread waits per picture.
#include <vector>

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include "decode/DecoderThreads.h"
#include "decode/FFColorSpace.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

using namespace Quillet;

namespace {

void FillPattern(AVFrame* f)
{
    for (int p = 0; p < 3 && f->data[p]; ++p) {
        const int rows = p == 0 ? f->height : (f->format == AV_PIX_FMT_YUV420P ? f->height / 2 : f->height);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < f->linesize[p]; ++c)
                f->data[p][r * f->linesize[p] + c] = static_cast<uint8_t>((r * 7 + c * 3 + p * 50) & 0xFF);
    }
}

void Convert(benchmark::State& state, int srcFormat, int dstFormat, int helpers = 0)
{
    const int w = static_cast<int>(state.range(0));
    const int h = w * 9 / 16;
    FFFrame src;
    AVFrame* f = src.CFrame();
    f->format = srcFormat;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f, 0) < 0) {
        state.SkipWithError("no frame buffer");
        return;
    }
    FillPattern(f);
    FFColorSpace cs;
    cs.Initialize(srcFormat, w, h, dstFormat);
    cs.SetConversionHelpers(helpers);
    for (auto _ : state) {
        auto out = cs.Convert(src);
        benchmark::DoNotOptimize(out->GetVideoData());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(w) * h * 3);
}

void BM_Yuv420ToBgrPrimitive(benchmark::State& state)
{
    Convert(state, AV_PIX_FMT_YUV420P, AV_PIX_FMT_BGR24);
}

void BM_Yuv420ToBgrPrimitiveBanded(benchmark::State& state)
{
    DecoderThreads automatic;
    automatic.threads = 0;
    Convert(state, AV_PIX_FMT_YUV420P, AV_PIX_FMT_BGR24, automatic.ConversionHelpers());
}

void BM_Yuv420ToRgbPrimitive(benchmark::State& state)
{
    Convert(state, AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB24);
}

void BM_Yuvj422ToBgrScaler(benchmark::State& state)
{
    Convert(state, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_BGR24);
}

// The scaler on the pair the primitive serves, for comparison.
void BM_Yuv420ToBgrScalerForComparison(benchmark::State& state)
{
    const int w = static_cast<int>(state.range(0));
    const int h = w * 9 / 16;
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    FillPattern(f);
    AVFrame* o = av_frame_alloc();
    o->format = AV_PIX_FMT_BGR24;
    o->width = w;
    o->height = h;
    av_frame_get_buffer(o, 1);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24, SWS_FAST_BILINEAR, nullptr,
                                     nullptr, nullptr);
    for (auto _ : state)
        benchmark::DoNotOptimize(sws_scale(sws, f->data, f->linesize, 0, h, o->data, o->linesize));
    state.SetItemsProcessed(state.iterations());
    sws_freeContext(sws);
    av_frame_free(&o);
    av_frame_free(&f);
}

// libyuv's own two-pass routine, which the primitive replaces where the
// processor has 512-bit vectors (the same bytes).
void BM_Yuv420ToBgrLibyuvForComparison(benchmark::State& state)
{
    const int w = static_cast<int>(state.range(0));
    const int h = w * 9 / 16;
    FFFrame src;
    AVFrame* f = src.CFrame();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    FillPattern(f);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    for (auto _ : state)
        benchmark::DoNotOptimize(libyuv::I420ToRGB24(f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                                                     f->data[2], f->linesize[2], out.data(), w * 3, w, h));
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Yuv420ToBgrPrimitive)->Arg(640)->Arg(1920)->Arg(3840);
BENCHMARK(BM_Yuv420ToBgrPrimitiveBanded)->Arg(1920)->Arg(3840)->UseRealTime();
BENCHMARK(BM_Yuv420ToRgbPrimitive)->Arg(640)->Arg(1920);
BENCHMARK(BM_Yuv420ToBgrLibyuvForComparison)->Arg(640)->Arg(1920);
BENCHMARK(BM_Yuv420ToBgrScalerForComparison)->Arg(640)->Arg(1920);
BENCHMARK(BM_Yuvj422ToBgrScaler)->Arg(640)->Arg(1920);

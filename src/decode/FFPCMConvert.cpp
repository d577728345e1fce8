#include "decode/FFPCMConvert.h"

#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace Quillet {
namespace {

// The frame's own layout when it is usable, else the default for its count.
AVChannelLayout InputLayout(const AVFrame* f)
{
    AVChannelLayout layout{};
    const int channels = f->ch_layout.nb_channels;
    if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && av_channel_layout_check(&f->ch_layout) &&
        av_channel_layout_copy(&layout, &f->ch_layout) == 0)
        return layout;
    av_channel_layout_default(&layout, channels);
    return layout;
}

} // namespace

void SwrContextDeleter::operator()(SwrContext* c) const
{
    swr_free(&c);
}

void FFPCMConvert::Reset()
{
    _swrContext.reset();
    _inFormat = _inChannels = _inRate = -1;
}

bool FFPCMConvert::NeedsConversion(const AVFrame* f) const
{
    return f->format != _outFormat || f->ch_layout.nb_channels != _outChannels;
}

bool FFPCMConvert::InputChanged(const AVFrame* f) const
{
    return f->format != _inFormat || f->ch_layout.nb_channels != _inChannels || f->sample_rate != _inRate;
}

FFFrame* FFPCMConvert::Convert(FFFrame& src)
{
    AVFrame* f = src.CFrame();
    if (NeedsConversion(f) || (_swrContext && InputChanged(f))) {
        if (!_swrContext || InputChanged(f))
            _Initialize(src);
        if (NeedsConversion(f))
            _outFrame.AllocAudio(_outChannels, f->nb_samples, _outFormat);
    }
    if (!NeedsConversion(f))
        return &src;
    if (!_swrContext)
        throw std::runtime_error("No resampler for the audio format " + std::to_string(f->format));

    std::lock_guard<std::recursive_mutex> guard(_outFrame.lock);
    AVFrame* out = _outFrame.CFrame();
    const int converted = swr_convert(_swrContext.get(), out->extended_data, out->nb_samples,
                                      const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (converted < 0)
        throw std::runtime_error("swr_convert failed: " + std::to_string(converted));
    // At an unchanged rate the resampler returns every sample at once; a
    // shorter answer shrinks the block so no stale samples are handed out.
    if (converted != out->nb_samples)
        _outFrame.AllocAudio(_outChannels, converted, _outFormat);
    return &_outFrame;
}

void FFPCMConvert::_Initialize(const FFFrame& src)
{
    const AVFrame* f = src.CFrame();
    const int inChannels = f->ch_layout.nb_channels;
    _outChannels = inChannels < 3 ? inChannels : 2;
    LogInfo() << "FFPCMConvert::_Initialize";
    LogInfo() << "\tLayout: " << (f->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? f->ch_layout.u.mask : 0)
              << " - Rate: " << f->sample_rate << " - From: " << f->format << " - To: " << _outFormat
              << " - nb_samples: " << f->nb_samples << " - in channels: " << inChannels
              << " - out channels: " << _outChannels;
    _swrContext.reset();
    _inFormat = f->format;
    _inChannels = inChannels;
    _inRate = f->sample_rate;
    if (!NeedsConversion(f))
        return;
    // The resampler asserts on shapes it cannot describe; refuse them first.
    constexpr int kMaxChannels = 64;
    if (f->format < 0 || f->format >= AV_SAMPLE_FMT_NB || inChannels <= 0 || inChannels > kMaxChannels ||
        f->sample_rate <= 0 || f->nb_samples < 0)
        throw std::runtime_error("Cannot resample the audio format " + std::to_string(f->format) + " with " +
                                 std::to_string(inChannels) + " channels at " + std::to_string(f->sample_rate) + " Hz");

    AVChannelLayout inLayout = InputLayout(f);
    AVChannelLayout outLayout{};
    if (_outChannels == inChannels)
        av_channel_layout_copy(&outLayout, &inLayout);
    else
        av_channel_layout_default(&outLayout, _outChannels);
    SwrContext* ctx = nullptr;
    int r = swr_alloc_set_opts2(&ctx, &outLayout, static_cast<AVSampleFormat>(_outFormat), f->sample_rate, &inLayout,
                                static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    SwrContextPtr owned(ctx);
    if (r >= 0)
        r = swr_init(owned.get());
    if (r < 0) {
        LogError() << "Cannot set up the resampler: " << r;
        throw std::runtime_error("Cannot set up the resampler for the audio format " + std::to_string(f->format));
    }
    _swrContext = std::move(owned);
}

} // namespace Quillet

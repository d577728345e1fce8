#include "core/FFFrame.h"

#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/samplefmt.h>
}

namespace Quillet {

FFFrame::FFFrame() : frame(MakeFrame()) {}

int FFFrame::GetVideoSize() const
{
    return av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
}

int FFFrame::GetAudioSize() const
{
    return av_samples_get_buffer_size(nullptr, frame->ch_layout.nb_channels, frame->nb_samples,
                                      static_cast<AVSampleFormat>(frame->format), 1);
}

uint8_t* FFFrame::GetVideoData() const
{
    return frame->data[0];
}

uint8_t* FFFrame::GetAudioData() const
{
    return frame->data[0];
}

void FFFrame::FlipVertical()
{
    if (frame->height <= 0 || !frame->data[0])
        return;
    frame->data[0] += static_cast<ptrdiff_t>(frame->height - 1) * frame->linesize[0];
    frame->linesize[0] = -frame->linesize[0];
}

void FFFrame::Reset()
{
    frame = MakeFrame();
}

int FFBufferFrame::GetVideoSize() const
{
    return static_cast<int>(buffer.size());
}

int FFBufferFrame::GetAudioSize() const
{
    return static_cast<int>(buffer.size());
}

uint8_t* FFBufferFrame::GetVideoData() const
{
    return const_cast<uint8_t*>(buffer.data());
}

uint8_t* FFBufferFrame::GetAudioData() const
{
    return const_cast<uint8_t*>(buffer.data());
}

void FFBufferFrame::LayOutPicture(int format, int width, int height, size_t size)
{
    buffer.assign(size, 0);
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_image_fill_arrays(frame->data, frame->linesize, buffer.data(), static_cast<AVPixelFormat>(format), width,
                             height, 1) < 0)
        throw std::invalid_argument("Cannot lay out a picture of " + std::to_string(width) + "x" +
                                    std::to_string(height));
}

namespace {

// Bytes of one packed picture; throws for a format or size FFmpeg refuses.
int PictureBytes(int format, int width, int height)
{
    const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(format), width, height, 1);
    if (size < 0)
        throw std::invalid_argument("Invalid picture format or size " + std::to_string(width) + "x" +
                                    std::to_string(height));
    return size;
}

} // namespace

void FFBufferFrame::AllocVideo(int format, int width, int height)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const int size = PictureBytes(format, width, height);
    LayOutPicture(format, width, height, static_cast<size_t>(size));
}

bool FFBufferFrame::ReallocVideo(int format, int width, int height)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const int size = PictureBytes(format, width, height);
    if (static_cast<size_t>(size) == buffer.size() && frame->format == format && frame->width == width &&
        frame->height == height)
        return false;
    // Same byte count but another geometry: keep the storage, redo the layout.
    if (static_cast<size_t>(size) == buffer.size()) {
        frame->format = format;
        frame->width = width;
        frame->height = height;
        av_image_fill_arrays(frame->data, frame->linesize, buffer.data(), static_cast<AVPixelFormat>(format), width,
                             height, 1);
        return false;
    }
    LayOutPicture(format, width, height, static_cast<size_t>(size));
    return true;
}

void FFBufferFrame::AllocAudio(int channels, int samples, int sampleFormat)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto fmt = static_cast<AVSampleFormat>(sampleFormat);
    const int size = av_samples_get_buffer_size(nullptr, channels, samples, fmt, 1);
    if (size < 0)
        throw std::invalid_argument("Invalid sample block of " + std::to_string(samples) + " samples");
    if (static_cast<size_t>(size) == buffer.size() && frame->nb_samples == samples &&
        frame->ch_layout.nb_channels == channels && frame->format == sampleFormat)
        return;
    buffer.assign(static_cast<size_t>(size), 0);
    av_channel_layout_uninit(&frame->ch_layout);
    av_channel_layout_default(&frame->ch_layout, channels);
    frame->nb_samples = samples;
    frame->format = sampleFormat;
    av_samples_fill_arrays(frame->extended_data, frame->linesize, buffer.data(), channels, samples, fmt, 1);
}

void FFBufferFrame::CopyFrom(const FFFrame& src)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const AVFrame* s = src.CFrame();
    firstFrame = src.GetFirstFrame();
    frameTime = src.GetFrameTime();
    captureTime = src.GetCaptureTime();
    captureTrusted = src.GetCaptureTrusted();
    ReallocVideo(s->format, s->width, s->height);
    av_image_copy(frame->data, frame->linesize, const_cast<const uint8_t**>(s->data), s->linesize,
                  static_cast<AVPixelFormat>(s->format), s->width, s->height);
    frame->key_frame = s->key_frame;
    frame->pts = s->pts;
}

void FFBufferFrame::CopyFrame(uint8_t* destination) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    // A picture converted straight into the destination needs no copy.
    const uint8_t* data = GetVideoData();
    const int size = GetVideoSize();
    if (size > 0 && data != destination)
        std::memcpy(destination, data, static_cast<size_t>(size));
}

} // namespace Quillet

#include "decode/FFColorSpace.h"

#include <cstddef>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace Quillet {

namespace {
// A stream may claim any size; past these no real picture goes, and the
// output picture alone would take gigabytes.
constexpr int kMaxSide = 16384;
constexpr int64_t kMaxPixels = int64_t{8192} * 8192;
// Below this a picture converts in a fraction of a millisecond, and handing
// bands to other threads would cost about as much as it saves.
constexpr int64_t kBandedPixels = int64_t{640} * 360;
} // namespace

bool FFColorSpace::CanConvert(int srcFormat, int width, int height, int dstFormat)
{
    // The scaler asserts (aborting the process) on formats it has no
    // description for, so everything is checked before it sees them.
    if (srcFormat < 0 || srcFormat >= AV_PIX_FMT_NB || dstFormat < 0 || dstFormat >= AV_PIX_FMT_NB)
        return false;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        int64_t{width} * height > kMaxPixels || av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) < 0)
        return false;
    return sws_isSupportedInput(static_cast<AVPixelFormat>(srcFormat)) > 0 &&
           sws_isSupportedOutput(static_cast<AVPixelFormat>(dstFormat)) > 0;
}

void SwsContextDeleter::operator()(SwsContext* c) const
{
    sws_freeContext(c);
}

FFColorSpace::FFColorSpace() : _outFrame(std::make_shared<FFBufferFrame>()), _targetFrame(std::make_shared<TargetFrame>())
{
}

void FFColorSpace::Initialize(int srcFormat, int width, int height, int dstFormat)
{
    _swsContext.reset();
    _primitive = nullptr;
    LogInfo() << "FFColorSpace::Initialize";
    LogInfo() << "\tWidth: " << width << " - Height: " << height << " - From: " << srcFormat << " - To: " << dstFormat;
    _height = height;
    _width = width;
    _srcFormat = srcFormat;
    _dstFormat = dstFormat;
    _out = Image::FitPicture({width, height}, _sarNum, _sarDen, _box);
    if (Scales())
        LogInfo() << "\tHanded out at " << _out.width << "x" << _out.height;
    ChooseRoute();
    SizeOutput();
}

void FFColorSpace::ChooseRoute()
{
    if (!CanConvert(_srcFormat, _width, _height, _dstFormat) || !CanConvert(_srcFormat, _out.width, _out.height, _dstFormat)) {
        // Until a picture arrives the stream's format may still be unsettled.
        LogInfo() << "Converter: none for this format and size yet";
        return;
    }
    if (_srcFormat == AV_PIX_FMT_YUV420P && _dstFormat == AV_PIX_FMT_BGR24) {
        LogInfo() << "Converter: ippiYCbCr420ToBGR_8u_P3C3R";
        _primitive = &Image::YCbCr420ToBGR;
        return;
    }
    if (_srcFormat == AV_PIX_FMT_YUV420P && _dstFormat == AV_PIX_FMT_RGB24) {
        LogInfo() << "Converter: ippiYCbCr420ToRGB_8u_P3C3R";
        _primitive = &Image::YCbCr420ToRGB;
        return;
    }
    LogInfo() << "Converter: sws_getContext";
    // Scaling down averages the area each output pixel covers, as the box
    // filter of the primitive's route does; scaling up interpolates.
    const bool shrinks = _out.width <= _width && _out.height <= _height;
    const int flags = !Scales() ? SWS_FAST_BILINEAR : shrinks ? SWS_AREA : SWS_BILINEAR;
    _swsContext.reset(sws_getContext(_width, _height, static_cast<AVPixelFormat>(_srcFormat), _out.width, _out.height,
                                     static_cast<AVPixelFormat>(_dstFormat), flags, nullptr, nullptr, nullptr));
    if (_srcFormat == _dstFormat)
        LogInfo() << "Source format the same as destination format";
}

void FFColorSpace::SizeOutput()
{
    if (!UsesImagePrimitive() && !UsesScaler())
        return;
    _outFrame->AllocVideo(_dstFormat, _out.width, _out.height);
}

std::shared_ptr<FFBufferFrame> FFColorSpace::Convert(const FFFrame& src, PictureTarget* target)
{
    const AVFrame* f = src.CFrame();
    if (!FollowSource(f))
        return nullptr;
    if (target && _targetFrame->LayOver(*target, _dstFormat, _out.width, _out.height)) {
        std::lock_guard<std::recursive_mutex> guard(_targetFrame->lock);
        return ConvertInto(f, _targetFrame->CFrame()) ? _targetFrame : nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(_outFrame->lock);
    return ConvertInto(f, _outFrame->CFrame()) ? _outFrame : nullptr;
}

bool FFColorSpace::FollowSource(const AVFrame* f)
{
    _sarNum = f->sample_aspect_ratio.num;
    _sarDen = f->sample_aspect_ratio.den;
    if (f->width != _width || f->height != _height) {
        // A description without a size is no change worth a warning.
        if (_width > 0 && _height > 0)
            LogWarn() << "Changing from " << _width << "x" << _height << " To " << f->width << "x" << f->height;
        else
            LogInfo() << "Picture size now known: " << f->width << "x" << f->height;
        Initialize(f->format >= 0 ? f->format : _srcFormat, f->width, f->height, _dstFormat);
    } else if (f->format >= 0 && f->format != _srcFormat) {
        // The stream description can name another layout than the decoder
        // finally produces; converting with the wrong layout would read past
        // the planes.
        LogWarn() << "Changing pixel format from " << _srcFormat << " To " << f->format;
        Initialize(f->format, _width, _height, _dstFormat);
    } else if (!_primitive && !_swsContext && f->format >= 0) {
        // Set up before the format settled: try again with the picture's own.
        Initialize(f->format, _width, _height, _dstFormat);
    } else if (Image::FitPicture({_width, _height}, _sarNum, _sarDen, _box) != _out) {
        // Another size asked for, or an aspect ratio that changes the fit:
        // from this picture on.
        Initialize(f->format >= 0 ? f->format : _srcFormat, _width, _height, _dstFormat);
    }
    return (_primitive || _swsContext) && f->data[0];
}

void FFColorSpace::SetConversionHelpers(int helpers)
{
    if (helpers == ConversionHelpers())
        return;
    _bands = helpers > 0 ? std::make_unique<Image::BandedConversion>(helpers) : nullptr;
}

bool FFColorSpace::ConvertInto(const AVFrame* f, AVFrame* out)
{
    if (_primitive) {
        // At another size the planes are scaled first, then packed.
        const uint8_t* planes[3] = {f->data[0], f->data[1], f->data[2]};
        int strides[3] = {f->linesize[0], f->linesize[1], f->linesize[2]};
        if (Scales()) {
            if (!_scaled.Scale(planes, strides, {_width, _height}, _out))
                return false;
            for (int i = 0; i < 3; ++i) {
                planes[i] = _scaled.Plane(i);
                strides[i] = _scaled.Stride(i);
            }
        }
        // The primitive's source is 4:2:0: a band from an even row reads
        // chroma from half that row on.
        const int width = _out.width;
        const auto convertRows = [this, &planes, &strides, out, width](int first, int rows) {
            const int chroma = first / 2;
            _primitive(planes[0] + ptrdiff_t{first} * strides[0], strides[0], planes[1] + ptrdiff_t{chroma} * strides[1],
                       strides[1], planes[2] + ptrdiff_t{chroma} * strides[2], strides[2],
                       out->data[0] + ptrdiff_t{first} * out->linesize[0], out->linesize[0], width, rows);
        };
        if (_bands && int64_t{_out.width} * _out.height >= kBandedPixels)
            _bands->Run(_out.height, convertRows);
        else
            convertRows(0, _out.height);
        return true;
    }
    sws_scale(_swsContext.get(), f->data, f->linesize, 0, _height, out->data, out->linesize);
    return true;
}

} // namespace Quillet

#include "decode/FFColorSpace.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace Quillet {

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
    ChooseRoute();
    SizeOutput();
}

void FFColorSpace::ChooseRoute()
{
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
    // A pair the scaler refuses leaves no context; Convert then leaves the
    // output picture untouched rather than scaling without one.
    _swsContext.reset(sws_getContext(_width, _height, static_cast<AVPixelFormat>(_srcFormat), _width, _height,
                                     static_cast<AVPixelFormat>(_dstFormat), SWS_FAST_BILINEAR, nullptr, nullptr,
                                     nullptr));
    if (_srcFormat == _dstFormat)
        LogInfo() << "Source format the same as destination format";
}

void FFColorSpace::SizeOutput()
{
    if (_width <= 0 || _height <= 0 || _dstFormat < 0)
        return;
    _outFrame->AllocVideo(_dstFormat, _width, _height);
}

std::shared_ptr<FFBufferFrame> FFColorSpace::Convert(const FFFrame& src, PictureTarget* target)
{
    const AVFrame* f = src.CFrame();
    FollowSource(f);
    if (target && _targetFrame->LayOver(*target, _dstFormat, _width, _height)) {
        std::lock_guard<std::recursive_mutex> guard(_targetFrame->lock);
        ConvertInto(f, _targetFrame->CFrame());
        return _targetFrame;
    }
    std::lock_guard<std::recursive_mutex> guard(_outFrame->lock);
    ConvertInto(f, _outFrame->CFrame());
    return _outFrame;
}

void FFColorSpace::FollowSource(const AVFrame* f)
{
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
    }
}

void FFColorSpace::ConvertInto(const AVFrame* f, AVFrame* out)
{
    if (_primitive) {
        _primitive(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2], out->data[0],
                   out->linesize[0], _width, _height);
    } else if (_swsContext) {
        sws_scale(_swsContext.get(), f->data, f->linesize, 0, _height, out->data, out->linesize);
    }
}

} // namespace Quillet

#include "decode/PictureTarget.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace Quillet {

bool TargetFrame::LayOver(PictureTarget& target, int format, int width, int height)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    _data = nullptr;
    _size = 0;
    const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(format), width, height, 1);
    if (size <= 0)
        return false;
    uint8_t* data = target.Reserve(width, height, size);
    if (!data)
        return false;
    AVFrame* f = CFrame();
    if (av_image_fill_arrays(f->data, f->linesize, data, static_cast<AVPixelFormat>(format), width, height, 1) < 0)
        return false;
    f->format = format;
    f->width = width;
    f->height = height;
    _data = data;
    _size = size;
    return true;
}

} // namespace Quillet

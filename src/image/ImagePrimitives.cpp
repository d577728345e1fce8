#include "image/ImagePrimitives.h"

#include <libyuv.h>

namespace Quillet::Image {

// libyuv names formats by their byte order in memory read as a little-endian
// word: its "RGB24" lays out B,G,R bytes and its "RAW" lays out R,G,B bytes.
int YCbCr420ToBGR(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height)
{
    return libyuv::I420ToRGB24(y, strideY, cb, strideCb, cr, strideCr, dst, dstStride, width, height);
}

int YCbCr420ToRGB(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height)
{
    return libyuv::I420ToRAW(y, strideY, cb, strideCb, cr, strideCr, dst, dstStride, width, height);
}

void InitializeImagePrimitives()
{
    libyuv::InitCpuFlags();
}

} // namespace Quillet::Image

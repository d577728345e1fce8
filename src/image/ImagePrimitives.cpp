#include "image/ImagePrimitives.h"

#include <libyuv.h>

#include "image/WideConversion.h"

namespace Quillet::Image {

namespace {

bool Convertible(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, const uint8_t* dst, int width, int height)
{
    return y && cb && cr && dst && width > 0 && height > 0;
}

} // namespace

// libyuv names formats by their byte order in memory read as a little-endian
// word: its "RGB24" lays out B,G,R bytes and its "RAW" lays out R,G,B bytes.
// The wide route gives the same bytes as libyuv's (see WideConversion.h).
int YCbCr420ToBGR(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height)
{
    if (WideConversionAvailable() && Convertible(y, cb, cr, dst, width, height)) {
        YCbCr420ToPackedWide(y, strideY, cb, strideCb, cr, strideCr, dst, dstStride, width, height,
                             &libyuv::kYuvI601Constants);
        return 0;
    }
    return libyuv::I420ToRGB24(y, strideY, cb, strideCb, cr, strideCr, dst, dstStride, width, height);
}

int YCbCr420ToRGB(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height)
{
    // libyuv's R,G,B order is its B,G,R arithmetic with the chroma planes and tables swapped.
    if (WideConversionAvailable() && Convertible(y, cb, cr, dst, width, height)) {
        YCbCr420ToPackedWide(y, strideY, cr, strideCr, cb, strideCb, dst, dstStride, width, height,
                             &libyuv::kYvuI601Constants);
        return 0;
    }
    return libyuv::I420ToRAW(y, strideY, cb, strideCb, cr, strideCr, dst, dstStride, width, height);
}

void InitializeImagePrimitives()
{
    libyuv::InitCpuFlags();
    WideConversionAvailable();
}

} // namespace Quillet::Image

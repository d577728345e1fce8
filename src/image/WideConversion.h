#pragma once
// Planar YCbCr 4:2:0 to packed 24-bit pixels in one pass with 512-bit
// vectors, for processors that have them (AVX-512 BW, VL and VBMI).
//
// libyuv's routine for packed 24-bit output converts each row to 32-bit
// pixels in a scratch row and then drops the fourth byte in a second pass.
// This one computes the same integer arithmetic, with libyuv's own
// coefficient tables, and writes the packed bytes straight away: the bytes
// are identical, for every (Y, Cb, Cr), at about two thirds of the cost.
//
// Pure functions: any thread, no shared state (the byte tables are constant).
#include <cstdint>

namespace Quillet::Image {

// True when the processor and the operating system support the wide route.
bool WideConversionAvailable();

// Converts `height` rows of `width` pixels. The first chroma plane's samples
// come out in the lowest byte of each pixel: with libyuv's BT.601 tables for
// (Cb, Cr) that gives B,G,R; with the tables for (Cr, Cb) and the chroma
// planes swapped it gives R,G,B. `constants` is a libyuv YuvConstants record.
// Call only when WideConversionAvailable() says so.
void YCbCr420ToPackedWide(const uint8_t* y, int strideY, const uint8_t* c1, int strideC1, const uint8_t* c2,
                          int strideC2, uint8_t* dst, int dstStride, int width, int height, const void* constants);

} // namespace Quillet::Image

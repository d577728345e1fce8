#pragma once
// The two colour-conversion primitives the picture path needs: planar
// YCbCr 4:2:0 (BT.601, studio range) to packed 24-bit pixels. Both pick their
// SIMD code by processor features at run time.
#include <cstdint>

namespace Quillet::Image {

// Signature shared by both routines: three source planes with their own
// strides, one packed destination plane with its stride, the picture size.
// Returns 0 on success.
using PlanarToPackedRoutine = int (*)(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb,
                                      const uint8_t* cr, int strideCr, uint8_t* dst, int dstStride, int width,
                                      int height);

// Writes the bytes B, G, R for each pixel.
int YCbCr420ToBGR(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height);
// Writes the bytes R, G, B for each pixel.
int YCbCr420ToRGB(const uint8_t* y, int strideY, const uint8_t* cb, int strideCb, const uint8_t* cr, int strideCr,
                  uint8_t* dst, int dstStride, int width, int height);

// Detects the processor features once, so the first conversion does not pay
// for it on a reading thread.
void InitializeImagePrimitives();

} // namespace Quillet::Image

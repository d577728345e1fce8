#include "image/ScaledPlanes.h"

#include <cstddef>

#include <libyuv.h>

namespace Quillet::Image {

namespace {
// Rows padded to this many bytes, so the SIMD rows read aligned.
constexpr int kAlign = 64;
int Padded(int bytes)
{
    return (bytes + kAlign - 1) / kAlign * kAlign;
}
} // namespace

void ScaledPlanes::Allocate(PictureSize to)
{
    if (to == _size && !_buffer.empty())
        return;
    const int chromaWidth = (to.width + 1) / 2;
    const int chromaHeight = (to.height + 1) / 2;
    _strides[0] = Padded(to.width);
    _strides[1] = _strides[2] = Padded(chromaWidth);
    const size_t luma = size_t(_strides[0]) * to.height;
    const size_t chroma = size_t(_strides[1]) * chromaHeight;
    // Room to align the first plane, and one row of slack for SIMD reads past the end.
    _buffer.assign(luma + 2 * chroma + 2 * kAlign + size_t(_strides[0]), 0);
    auto base = reinterpret_cast<uintptr_t>(_buffer.data());
    base = (base + kAlign - 1) / kAlign * kAlign;
    _planes[0] = reinterpret_cast<uint8_t*>(base);
    _planes[1] = _planes[0] + luma;
    _planes[2] = _planes[1] + chroma;
    _size = to;
}

bool ScaledPlanes::Scale(const uint8_t* const planes[3], const int strides[3], PictureSize from, PictureSize to)
{
    if (from.width <= 0 || from.height <= 0 || to.width <= 0 || to.height <= 0)
        return false;
    Allocate(to);
    return libyuv::I420Scale(planes[0], strides[0], planes[1], strides[1], planes[2], strides[2], from.width,
                             from.height, _planes[0], _strides[0], _planes[1], _strides[1], _planes[2], _strides[2],
                             to.width, to.height, libyuv::kFilterBox) == 0;
}

} // namespace Quillet::Image

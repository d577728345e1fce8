#pragma once
// A 4:2:0 picture scaled into planes of its own, the first step of a
// conversion that hands pictures out at another size than they were coded:
// the planes are scaled (box filter going down, bilinear going up), then the
// one-pass conversion packs them at the new size. The planes are kept and
// reused while the size stays the same.
//
// Threads: one thread at a time (the converter's owner); no lock.
#include <cstdint>
#include <vector>

#include "image/PictureSize.h"

namespace Quillet::Image {

class ScaledPlanes {
public:
    // Scales the three planes of a `from`-sized 4:2:0 picture to `to`; false
    // when the scaler refused (nothing valid in the planes then).
    bool Scale(const uint8_t* const planes[3], const int strides[3], PictureSize from, PictureSize to);

    const uint8_t* Plane(int i) const { return _planes[i]; }
    int Stride(int i) const { return _strides[i]; }
    PictureSize Size() const { return _size; }

private:
    void Allocate(PictureSize to);

    std::vector<uint8_t> _buffer;
    uint8_t* _planes[3] = {nullptr, nullptr, nullptr};
    int _strides[3] = {0, 0, 0};
    PictureSize _size;
};

} // namespace Quillet::Image

#pragma once
// Reads the stamp that stamp_camera.py writes into each picture: eight bands
// of 72 black and white squares (44 bits of capture time in milliseconds
// since 1970, 20 bits of picture number, 8 bits of check). A picture is
// whole when every band reads valid and the same; a slice that is missing or
// stale shows as a band that disagrees. Pure functions, any thread.
#include <cstdint>
#include <optional>

namespace QuilletTest {

struct PictureStamp {
    int64_t captureMs = 0;
    uint32_t number = 0;
};

// `pixels`: packed samples of `channels` bytes (1: luma, 3: BGR), `stride`
// bytes a row. Nothing when the picture is not whole.
inline std::optional<PictureStamp> ReadPictureStamp(const uint8_t* pixels, int width, int height, int stride,
                                                    int channels)
{
    const int side = width / 80;
    if (side < 4 || height < 8 * side)
        return std::nullopt;
    std::optional<uint64_t> agreed;
    for (int band = 0; band < 8; ++band) {
        const int top = (band * (height - side) / 7) / side * side;
        uint8_t bytes[9] = {};
        for (int bit = 0; bit < 72; ++bit) {
            const int x = 4 * side + bit * side + side / 2, y = top + side / 2;
            const uint8_t* p = pixels + int64_t(y) * stride + int64_t(x) * channels;
            const int luma = channels == 1 ? p[0] : (p[0] + 2 * p[1] + p[2]) / 4;
            if (luma >= 128)
                bytes[bit / 8] |= uint8_t(0x80 >> (bit % 8));
        }
        uint8_t check = 0;
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            check ^= bytes[i], value = (value << 8) | bytes[i];
        if (check != bytes[8] || (agreed && *agreed != value))
            return std::nullopt;
        agreed = value;
    }
    return PictureStamp{int64_t(*agreed >> 20), uint32_t(*agreed & 0xFFFFF)};
}

} // namespace QuilletTest

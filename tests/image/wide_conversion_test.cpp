// The one-pass wide conversion writes exactly libyuv's bytes, in both packed
// orders: for every (Y, Cb, Cr) there is, and for row ends of every length
// with padded planes, where it must also write nothing past the row.
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <libyuv.h>

#include "image/ImagePrimitives.h"
#include "image/WideConversion.h"

using namespace Quillet::Image;

namespace {

struct Order {
    const char* name;
    PlanarToPackedRoutine wide;
    int (*reference)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int);
};

const Order kOrders[] = {{"Bgr", &YCbCr420ToBGR, &libyuv::I420ToRGB24}, {"Rgb", &YCbCr420ToRGB, &libyuv::I420ToRAW}};

class WideConversionTable : public ::testing::TestWithParam<Order> {
protected:
    void SetUp() override
    {
        if (!WideConversionAvailable())
            GTEST_SKIP() << "no AVX-512 VBMI on this processor";
    }
};

} // namespace

TEST_P(WideConversionTable, EveryValueMatchesLibyuv)
{
    // Luma 0..255 along each row, Cr the row pair, Cb one value per picture.
    constexpr int W = 256, H = 512;
    std::vector<uint8_t> y(W * H), cb(W / 2 * H / 2), cr(W / 2 * H / 2), ours(W * H * 3), theirs(W * H * 3);
    for (int i = 0; i < W * H; ++i)
        y[i] = static_cast<uint8_t>(i % W);
    for (int i = 0; i < W / 2 * H / 2; ++i)
        cr[i] = static_cast<uint8_t>(i / (W / 2));
    for (int b = 0; b < 256; ++b) {
        std::fill(cb.begin(), cb.end(), static_cast<uint8_t>(b));
        GetParam().wide(y.data(), W, cb.data(), W / 2, cr.data(), W / 2, ours.data(), W * 3, W, H);
        GetParam().reference(y.data(), W, cb.data(), W / 2, cr.data(), W / 2, theirs.data(), W * 3, W, H);
        ASSERT_EQ(ours, theirs) << "Cb " << b;
    }
}

TEST_P(WideConversionTable, RowEndsMatchLibyuv)
{
    std::mt19937 random(7);
    for (int width = 1; width <= 100; ++width) {
        const int height = 3, strideY = width + 13, strideC = (width + 1) / 2 + 5, strideOut = 3 * width + 11;
        std::vector<uint8_t> y(strideY * height), cb(strideC * 2), cr(strideC * 2);
        for (auto* plane : {&y, &cb, &cr})
            for (auto& v : *plane)
                v = static_cast<uint8_t>(random());
        std::vector<uint8_t> ours(strideOut * height, 0xA5), theirs(strideOut * height, 0xA5);
        GetParam().wide(y.data(), strideY, cb.data(), strideC, cr.data(), strideC, ours.data(), strideOut, width, height);
        GetParam().reference(y.data(), strideY, cb.data(), strideC, cr.data(), strideC, theirs.data(), strideOut,
                             width, height);
        ASSERT_EQ(ours, theirs) << "width " << width;
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, WideConversionTable, ::testing::ValuesIn(kOrders),
                         [](const auto& info) { return std::string(info.param.name); });

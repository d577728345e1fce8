// Picture conversion: the image-primitive route against an exact BT.601
// transform, and the scaler route against the ffmpeg tool.
#include "support/DecodeFeed.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace DecodeTest;
using namespace Quillet;

namespace {

const int kW = 96;
const int kH = 64;

uint8_t Clamp(double v)
{
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Studio-range BT.601 YCbCr to R, G, B, computed in double precision.
void Bt601(int y, int cb, int cr, uint8_t rgb[3])
{
    const double yy = 1.164383 * (y - 16);
    const double u = cb - 128;
    const double v = cr - 128;
    rgb[0] = Clamp(yy + 1.596027 * v);
    rgb[1] = Clamp(yy - 0.391762 * u - 0.812968 * v);
    rgb[2] = Clamp(yy + 2.017232 * u);
}

// Largest difference between a packed picture and the exact transform of
// the 4:2:0 planes it came from; `bgr` selects the byte order.
int MaxErrorAgainstPlanes(const std::vector<uint8_t>& packed, const uint8_t* planes, bool bgr)
{
    const uint8_t* Y = planes;
    const uint8_t* U = Y + kW * kH;
    const uint8_t* V = U + (kW / 2) * (kH / 2);
    int worst = 0;
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            uint8_t rgb[3];
            const int ci = (r / 2) * (kW / 2) + c / 2;
            Bt601(Y[r * kW + c], U[ci], V[ci], rgb);
            const uint8_t* px = &packed[static_cast<size_t>((r * kW + c) * 3)];
            for (int k = 0; k < 3; ++k) {
                const int want = rgb[bgr ? 2 - k : k];
                worst = std::max(worst, std::abs(px[k] - want));
            }
        }
    return worst;
}

const char* kClip = "conv_420.mp4";

bool MakeClip()
{
    // A colourful source with a moving chroma pattern exercises every channel.
    return MakeMedia(kClip, "-f lavfi -i testsrc2=size=96x64:rate=25 -t 0.6 -c:v libx264 -bf 2 -pix_fmt yuv420p");
}

std::vector<uint8_t> ReferenceOutput(const std::string& clip, const std::string& name, const std::string& pixFmt)
{
    if (!MakeMedia(name, "-i " + clip + " -fps_mode passthrough -f rawvideo -pix_fmt " + pixFmt))
        return {};
    return ReadBytes(name);
}

VideoRun DecodeClip(const std::string& clip, int pixelFormat)
{
    Demuxed d = Demux(clip, true, false);
    FFDecode decode;
    decode.SetColorSpace(pixelFormat);
    return FeedAndRead(decode, d.records);
}

} // namespace

TEST(FFColorSpaceConversion, PlanarToBgrAndRgbMatchExactBt601WithinTwo)
{
    ASSERT_TRUE(MakeClip());
    const std::vector<uint8_t> planes = ReferenceOutput(kClip, "conv_420.yuv", "yuv420p");
    const size_t frameBytes = kW * kH * 3 / 2;
    ASSERT_GT(planes.size(), 0u);
    ASSERT_EQ(planes.size() % frameBytes, 0u);

    VideoRun bgr = DecodeClip(kClip, AV_PIX_FMT_BGR24);
    VideoRun rgb = DecodeClip(kClip, AV_PIX_FMT_RGB24);
    ASSERT_EQ(bgr.pictures.size(), planes.size() / frameBytes);
    ASSERT_EQ(rgb.pictures.size(), bgr.pictures.size());
    for (size_t i = 0; i < bgr.pictures.size(); ++i) {
        EXPECT_LE(MaxErrorAgainstPlanes(bgr.pictures[i].pixels, &planes[i * frameBytes], true), 2) << "picture " << i;
        EXPECT_LE(MaxErrorAgainstPlanes(rgb.pictures[i].pixels, &planes[i * frameBytes], false), 2) << "picture " << i;
    }
}

TEST(FFColorSpaceConversion, FullRange422GoesThroughTheScalerWithinFourOfFfmpeg)
{
    const char* clip = "conv_mjpeg422.avi";
    ASSERT_TRUE(MakeMedia(clip, "-f lavfi -i testsrc2=size=96x64:rate=10 -t 0.5 -c:v mjpeg -pix_fmt yuvj422p -q:v 3"));
    const std::vector<uint8_t> reference = ReferenceOutput(clip, "conv_mjpeg422.bgr", "bgr24");
    const size_t frameBytes = kW * kH * 3;
    ASSERT_GT(reference.size(), 0u);

    VideoRun run = DecodeClip(clip, AV_PIX_FMT_BGR24);
    ASSERT_EQ(run.pictures.size(), reference.size() / frameBytes);
    for (size_t i = 0; i < run.pictures.size(); ++i) {
        int worst = 0;
        for (size_t b = 0; b < frameBytes; ++b)
            worst = std::max(worst, std::abs(run.pictures[i].pixels[b] - reference[i * frameBytes + b]));
        EXPECT_LE(worst, 4) << "picture " << i;
    }
}

TEST(FFColorSpaceConversion, SameFormatUsesTheScalerAsAPlainCopy)
{
    ASSERT_TRUE(MakeClip());
    const std::vector<uint8_t> planes = ReferenceOutput(kClip, "conv_420.yuv", "yuv420p");
    VideoRun run = DecodeClip(kClip, AV_PIX_FMT_YUV420P);
    const size_t frameBytes = kW * kH * 3 / 2;
    ASSERT_EQ(run.pictures.size(), planes.size() / frameBytes);
    for (size_t i = 0; i < run.pictures.size(); ++i)
        EXPECT_TRUE(std::equal(run.pictures[i].pixels.begin(), run.pictures[i].pixels.end(),
                               planes.begin() + static_cast<std::ptrdiff_t>(i * frameBytes)))
            << "picture " << i;
}

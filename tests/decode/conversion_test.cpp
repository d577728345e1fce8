// Picture conversion to the decoder's own format is a plain copy: the
// application gets the planes byte for byte as the ffmpeg tool decodes them.
// Conversions to packed BGR/RGB, through libyuv and through the scaler, are
// checked against the tool in the playback table (engine/playback_table_test).
#include "support/DecodeFeed.h"

#include <algorithm>

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace DecodeTest;
using namespace Quillet;

TEST(FFColorSpaceConversion, SameFormatIsAPlainCopyOfThePlanes)
{
    const std::string clip = Testing::MakeClip(
        "conv_420.mp4", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 0.6 -c:v libx264 -bf 2 -pix_fmt yuv420p");
    const std::string raw =
        Testing::MakeClip("conv_420.yuv", "-i " + clip + " -fps_mode passthrough -f rawvideo -pix_fmt yuv420p");
    ASSERT_FALSE(HasFailure());
    const std::vector<uint8_t> planes = ReadBytes(raw);
    Demuxed d = Demux(clip, true, false);
    FFDecode decode;
    decode.SetColorSpace(AV_PIX_FMT_YUV420P);
    const VideoRun run = FeedAndRead(decode, d.records);
    const size_t frameBytes = 96 * 64 * 3 / 2;
    ASSERT_EQ(run.pictures.size(), planes.size() / frameBytes);
    for (size_t i = 0; i < run.pictures.size(); ++i)
        EXPECT_TRUE(std::equal(run.pictures[i].pixels.begin(), run.pictures[i].pixels.end(),
                               planes.begin() + static_cast<std::ptrdiff_t>(i * frameBytes)))
            << "picture " << i;
}

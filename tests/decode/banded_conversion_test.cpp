// A picture converted in bands on helper threads comes out byte for byte as
// from one pass: odd sizes, a last band of an odd row count, padded planes,
// both packed orders, and a wide picture only a few rows high.
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "decode/FFColorSpace.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;

namespace {

struct Row {
    const char* name;
    int width, height, helpers, dstFormat;
};

const Row kRows[] = {
    {"FullHdOneHelper", 1920, 1080, 1, AV_PIX_FMT_BGR24},
    {"FullHdThreeHelpersRgb", 1920, 1080, 3, AV_PIX_FMT_RGB24},
    {"OddSizeThreeHelpers", 641, 361, 3, AV_PIX_FMT_BGR24},
    {"LastBandOddRows", 1280, 725, 2, AV_PIX_FMT_RGB24},
    {"WideAndShort", 8000, 30, 3, AV_PIX_FMT_BGR24},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::vector<uint8_t> Converted(const FFFrame& source, const Row& row, int helpers)
{
    FFColorSpace colorSpace;
    colorSpace.Initialize(AV_PIX_FMT_YUV420P, row.width, row.height, row.dstFormat);
    colorSpace.SetConversionHelpers(helpers);
    std::vector<uint8_t> bytes;
    // Twice, so the helpers also serve a second picture after the first.
    for (int round = 0; round < 2; ++round) {
        const auto out = colorSpace.Convert(source);
        EXPECT_TRUE(out);
        if (!out)
            return {};
        const AVFrame* f = out->CFrame();
        bytes.clear();
        for (int y = 0; y < row.height; ++y)
            bytes.insert(bytes.end(), f->data[0] + y * f->linesize[0], f->data[0] + y * f->linesize[0] + row.width * 3);
    }
    return bytes;
}

class BandedConversionTable : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(BandedConversionTable, MatchesOnePass)
{
    const Row& row = GetParam();
    FFFrame source;
    AVFrame* f = source.CFrame();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = row.width;
    f->height = row.height;
    ASSERT_GE(av_frame_get_buffer(f, 64), 0); // planes padded past the width
    std::mt19937 random(static_cast<unsigned>(row.width * 31 + row.height));
    for (int p = 0; p < 3; ++p) {
        const int rows = p == 0 ? row.height : (row.height + 1) / 2;
        for (int i = 0; i < rows * f->linesize[p]; ++i)
            f->data[p][i] = static_cast<uint8_t>(random());
    }
    const auto onePass = Converted(source, row, 0);
    const auto banded = Converted(source, row, row.helpers);
    ASSERT_EQ(onePass.size(), size_t{3} * row.width * row.height);
    ASSERT_EQ(banded.size(), onePass.size());
    for (int y = 0; y < row.height; ++y)
        ASSERT_EQ(std::memcmp(banded.data() + size_t{3} * row.width * y, onePass.data() + size_t{3} * row.width * y,
                              size_t{3} * row.width),
                  0)
            << "row " << y;
}

INSTANTIATE_TEST_SUITE_P(Pictures, BandedConversionTable, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

#include "decode/PictureOrder.h"

#include <vector>

namespace Quillet {
namespace {

constexpr int kBaselineProfile = 66;

// Exp-Golomb and fixed-width fields of an RBSP; reading past the end sets
// `failed` and yields zeros.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> rbsp) : _data(std::move(rbsp)) {}
    uint32_t Bits(int count)
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 1) | Bit();
        return value;
    }
    uint32_t Bit()
    {
        if (_at >= _data.size() * 8) {
            failed = true;
            return 0;
        }
        const uint32_t bit = (_data[_at / 8] >> (7 - _at % 8)) & 1;
        ++_at;
        return bit;
    }
    uint32_t Ue()
    {
        int zeros = 0;
        while (Bit() == 0 && !failed)
            if (++zeros > 31) {
                failed = true;
                return 0;
            }
        return zeros == 0 ? 0 : (1u << zeros) - 1 + Bits(zeros);
    }
    void Se() { Ue(); }
    bool failed = false;

private:
    std::vector<uint8_t> _data;
    std::size_t _at = 0;
};

std::vector<uint8_t> Unescape(const uint8_t* data, std::size_t size)
{
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

void SkipScalingList(BitReader& r, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed; ++j) {
        if (next != 0) {
            const uint32_t code = r.Ue();
            const int delta = (code & 1) ? int((code + 1) / 2) : -int(code / 2);
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

void SkipHrd(BitReader& r)
{
    const uint32_t count = r.Ue() + 1;
    r.Bits(8); // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < count && i < 32 && !r.failed; ++i)
        r.Ue(), r.Ue(), r.Bit();
    r.Bits(20); // four delay and length fields of 5 bits
}

bool HighProfile(uint32_t profile)
{
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        return true;
    default:
        return false;
    }
}

} // namespace

bool H264SpsForbidsReorder(const uint8_t* nal, std::size_t size)
{
    if (size < 4 || (nal[0] & 0x1F) != 7)
        return false;
    BitReader r(Unescape(nal + 1, size - 1));
    const uint32_t profile = r.Bits(8);
    if (profile == kBaselineProfile)
        return true; // Baseline and Constrained Baseline have no B slices
    r.Bits(16); // constraint flags, level
    r.Ue();     // seq_parameter_set_id
    if (HighProfile(profile)) {
        const uint32_t chroma = r.Ue();
        if (chroma == 3)
            r.Bit();
        r.Ue(), r.Ue(); // bit depths
        r.Bit();        // qpprime_y_zero_transform_bypass
        if (r.Bit()) {  // seq_scaling_matrix_present
            for (int i = 0; i < (chroma == 3 ? 12 : 8) && !r.failed; ++i)
                if (r.Bit())
                    SkipScalingList(r, i < 6 ? 16 : 64);
        }
    }
    r.Ue(); // log2_max_frame_num
    const uint32_t pocType = r.Ue();
    if (pocType == 0) {
        r.Ue();
    } else if (pocType == 1) {
        r.Bit();
        r.Se(), r.Se();
        const uint32_t cycle = r.Ue();
        for (uint32_t i = 0; i < cycle && i < 256 && !r.failed; ++i)
            r.Se();
    }
    r.Ue(), r.Bit();    // max_num_ref_frames, gaps allowed
    r.Ue(), r.Ue();     // picture size in macroblocks
    if (!r.Bit())       // frame_mbs_only
        r.Bit();
    r.Bit();            // direct_8x8_inference
    if (r.Bit())        // frame_cropping
        r.Ue(), r.Ue(), r.Ue(), r.Ue();
    if (!r.Bit() || r.failed) // no VUI
        return false;
    if (r.Bit() && r.Bits(8) == 255) // aspect ratio, extended SAR
        r.Bits(32);
    if (r.Bit()) // overscan info
        r.Bit();
    if (r.Bit()) { // video signal type
        r.Bits(4);
        if (r.Bit())
            r.Bits(24);
    }
    if (r.Bit()) // chroma location
        r.Ue(), r.Ue();
    if (r.Bit()) // timing
        r.Bits(32), r.Bits(32), r.Bit();
    const bool nalHrd = r.Bit();
    if (nalHrd)
        SkipHrd(r);
    const bool vclHrd = r.Bit();
    if (vclHrd)
        SkipHrd(r);
    if (nalHrd || vclHrd)
        r.Bit(); // low_delay_hrd
    r.Bit();     // pic_struct_present
    if (!r.Bit() || r.failed) // no bitstream restriction
        return false;
    r.Bit();
    r.Ue(), r.Ue(), r.Ue(), r.Ue();
    const uint32_t reorder = r.Ue();
    return !r.failed && reorder == 0;
}

bool NeverReordered(AVCodecID codec, const uint8_t* extradata, std::size_t size)
{
    if (codec == AV_CODEC_ID_MJPEG)
        return true;
    if (codec != AV_CODEC_ID_H264 || extradata == nullptr || size < 4)
        return false;
    // Every SPS must forbid it (a stream may carry several).
    bool found = false;
    auto judge = [&](const uint8_t* nal, std::size_t length) {
        if (length == 0 || (nal[0] & 0x1F) != 7)
            return true;
        found = true;
        return H264SpsForbidsReorder(nal, length);
    };
    if (extradata[0] == 1) { // avcC: its SPS count and length-prefixed units
        if (size < 6)
            return false;
        std::size_t at = 6;
        const int count = extradata[5] & 0x1F;
        for (int i = 0; i < count; ++i) {
            if (at + 2 > size)
                return false;
            const std::size_t length = (std::size_t(extradata[at]) << 8) | extradata[at + 1];
            if (at + 2 + length > size || !judge(extradata + at + 2, length))
                return false;
            at += 2 + length;
        }
        return found;
    }
    // Annex-B: units behind 3- or 4-byte start codes.
    std::size_t at = 0;
    auto nextStart = [&](std::size_t from) {
        for (std::size_t i = from; i + 3 <= size; ++i)
            if (extradata[i] == 0 && extradata[i + 1] == 0 && extradata[i + 2] == 1)
                return i;
        return size;
    };
    at = nextStart(0);
    while (at < size) {
        const std::size_t begin = at + 3;
        std::size_t end = nextStart(begin);
        const std::size_t following = end;
        while (end > begin && extradata[end - 1] == 0)
            --end; // the leading zero of a 4-byte start code, trailing zeros
        if (!judge(extradata + begin, end - begin))
            return false;
        at = following;
    }
    return found;
}

} // namespace Quillet

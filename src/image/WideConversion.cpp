#include "image/WideConversion.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLET_WIDE_CONVERSION 1
// GCC 12's AVX-512 intrinsics start from a deliberately undefined register,
// which its own flow analysis then reports (GCC bug 105593, fixed in 13).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#include <libyuv/row.h>
#endif

namespace Quillet::Image {

#if defined(QUILLET_WIDE_CONVERSION)

namespace {

#define QUILLET_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

// Pixels per step: 32 luma bytes, 16 of each chroma plane, 96 bytes out.
constexpr int kStep = 32;
// The 32 bytes of a step past the first 64.
constexpr __mmask64 kLowHalf = 0xFFFFFFFFu;

// Where each output byte comes from. After the saturating packs, 128-bit lane
// k of the first source holds the first channel of pixels 8k..8k+7 then the
// second channel of the same pixels; the second source (index bit 6) holds
// the third channel of those pixels in the same place. Bytes 0..63 of the
// step are the first table's, 64..95 the second's first half.
struct alignas(64) PackTable {
    std::array<uint8_t, 128> index{};
    constexpr PackTable()
    {
        for (int j = 0; j < 96; ++j) {
            const int pixel = j / 3, channel = j % 3, lane = pixel / 8, within = pixel % 8;
            const int offset = channel == 0 ? 16 * lane + within : channel == 1 ? 16 * lane + 8 + within : 64 + 16 * lane + within;
            index[static_cast<size_t>(j)] = static_cast<uint8_t>(offset);
        }
    }
};

constexpr PackTable kPack;

// A 32-byte table twice over (loaded from memory: the register broadcast
// leaves GCC warning about its unused upper half).
QUILLET_WIDE_TARGET inline __m512i Broadcast256(const void* p)
{
    alignas(64) uint8_t twice[64];
    std::memcpy(twice, p, 32);
    std::memcpy(twice + 32, p, 32);
    return _mm512_load_si512(twice);
}

// libyuv's arithmetic, lane for lane: chroma minus 128 as signed bytes times
// the unsigned coefficient pairs (pmaddubsw), luma times 0x0101 times the
// luma gain (high half) plus the bias, saturating sums, >> 6, saturating pack.
struct Coefficients {
    __m512i toFirst, toSecond, toThird, yGain, yBias, half, pack0, pack1;

    QUILLET_WIDE_TARGET explicit Coefficients(const libyuv::YuvConstants& k)
        : toFirst(Broadcast256(k.kUVToB)), toSecond(Broadcast256(k.kUVToG)), toThird(Broadcast256(k.kUVToR)),
          yGain(Broadcast256(k.kYToRgb)), yBias(Broadcast256(k.kYBiasToRgb)),
          half(_mm512_set1_epi8(static_cast<char>(0x80))),
          pack0(_mm512_load_si512(kPack.index.data())), pack1(_mm512_load_si512(kPack.index.data() + 64))
    {
    }

    // The 96 output bytes of 32 pixels: the first 64 in `low`, the rest in
    // the low half of `high`.
    QUILLET_WIDE_TARGET void Convert(__m256i luma, __m128i c1, __m128i c2, __m512i& low, __m512i& high) const
    {
        const __m256i chroma = _mm256_set_m128i(_mm_unpackhi_epi8(c1, c2), _mm_unpacklo_epi8(c1, c2));
        // Each (c1, c2) pair twice, once for each of its two pixels.
        const __m512i widened = _mm512_cvtepu16_epi32(chroma);
        const __m512i uv = _mm512_xor_si512(_mm512_or_si512(widened, _mm512_slli_epi32(widened, 16)), half);
        __m512i y16 = _mm512_cvtepu8_epi16(luma);
        y16 = _mm512_or_si512(y16, _mm512_slli_epi16(y16, 8));
        const __m512i y1 = _mm512_add_epi16(_mm512_mulhi_epu16(y16, yGain), yBias);
        const __m512i first = _mm512_srai_epi16(_mm512_adds_epi16(_mm512_maddubs_epi16(toFirst, uv), y1), 6);
        const __m512i second = _mm512_srai_epi16(_mm512_subs_epi16(y1, _mm512_maddubs_epi16(toSecond, uv)), 6);
        const __m512i third = _mm512_srai_epi16(_mm512_adds_epi16(_mm512_maddubs_epi16(toThird, uv), y1), 6);
        const __m512i firstSecond = _mm512_packus_epi16(first, second);
        const __m512i thirds = _mm512_packus_epi16(third, third);
        low = _mm512_permutex2var_epi8(firstSecond, pack0, thirds);
        high = _mm512_permutex2var_epi8(firstSecond, pack1, thirds);
    }
};

QUILLET_WIDE_TARGET void ConvertRow(const Coefficients& k, const uint8_t* y, const uint8_t* c1, const uint8_t* c2,
                                    uint8_t* dst, int width)
{
    __m512i low, high;
    int x = 0;
    for (; x + kStep <= width; x += kStep) {
        k.Convert(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + x / 2)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(c2 + x / 2)), low, high);
        _mm512_storeu_si512(dst + 3 * x, low);
        _mm512_mask_storeu_epi8(dst + 3 * x + 64, kLowHalf, high);
    }
    if (x == width)
        return;
    // The last pixels of the row: masked loads read nothing past the planes'
    // rows and masked stores write nothing past the destination's.
    const int n = width - x;
    const auto lumaMask = static_cast<__mmask32>((uint64_t{1} << n) - 1);
    const auto chromaMask = static_cast<__mmask16>((1u << ((n + 1) / 2)) - 1);
    k.Convert(_mm256_maskz_loadu_epi8(lumaMask, y + x), _mm_maskz_loadu_epi8(chromaMask, c1 + x / 2),
              _mm_maskz_loadu_epi8(chromaMask, c2 + x / 2), low, high);
    const int bytes = 3 * n;
    _mm512_mask_storeu_epi8(dst + 3 * x, bytes >= 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1, low);
    if (bytes > 64)
        _mm512_mask_storeu_epi8(dst + 3 * x + 64, (__mmask64{1} << (bytes - 64)) - 1, high);
}

} // namespace

bool WideConversionAvailable()
{
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    return available;
}

QUILLET_WIDE_TARGET void YCbCr420ToPackedWide(const uint8_t* y, int strideY, const uint8_t* c1, int strideC1,
                                              const uint8_t* c2, int strideC2, uint8_t* dst, int dstStride,
                                              int width, int height, const void* constants)
{
    const Coefficients k(*static_cast<const libyuv::YuvConstants*>(constants));
    for (int row = 0; row < height; ++row) {
        const ptrdiff_t chromaRow = row / 2;
        ConvertRow(k, y + ptrdiff_t{row} * strideY, c1 + chromaRow * strideC1, c2 + chromaRow * strideC2,
                   dst + ptrdiff_t{row} * dstStride, width);
    }
}

#else

bool WideConversionAvailable()
{
    return false;
}

void YCbCr420ToPackedWide(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int,
                          const void*)
{
}

#endif

} // namespace Quillet::Image

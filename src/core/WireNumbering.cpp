#include "core/WireNumbering.h"

#include <stdexcept>
#include <string>

#include "core/WireBytes.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace Quillet::Wire {
namespace {

struct CodecNumber {
    AVCodecID id;
    int32_t wire;
};

constexpr int32_t MkBeTag(char a, char b, char c, char d)
{
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint8_t>(d))) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24));
}

// The codecs a camera, a recorder or a player of this library meets, with
// their frozen wire numbers. Translation goes by FFmpeg's own name (the enum
// constant), never by arithmetic on the numbers.
constexpr CodecNumber kCodecs[] = {
    {AV_CODEC_ID_NONE, 0},
    {AV_CODEC_ID_MPEG1VIDEO, 1},
    {AV_CODEC_ID_MPEG2VIDEO, 2},
    {AV_CODEC_ID_H261, 4},
    {AV_CODEC_ID_H263, 5},
    {AV_CODEC_ID_MJPEG, 8},
    {AV_CODEC_ID_MPEG4, 13},
    {AV_CODEC_ID_RAWVIDEO, 14},
    {AV_CODEC_ID_H264, 28},
    {AV_CODEC_ID_THEORA, 31},
    {AV_CODEC_ID_PNG, 63},
    {AV_CODEC_ID_VP8, 142},
    {AV_CODEC_ID_VP9, 170},
    {AV_CODEC_ID_HEVC, MkBeTag('H', '2', '6', '5')},
    {AV_CODEC_ID_PCM_S16LE, 65536},
    {AV_CODEC_ID_PCM_MULAW, 65542},
    {AV_CODEC_ID_PCM_ALAW, 65543},
    {AV_CODEC_ID_ADPCM_G726, 69643},
    {AV_CODEC_ID_AMR_NB, 73728},
    {AV_CODEC_ID_MP2, 86016},
    {AV_CODEC_ID_MP3, 86017},
    {AV_CODEC_ID_AAC, 86018},
    {AV_CODEC_ID_AC3, 86019},
    {AV_CODEC_ID_VORBIS, 86021},
    {AV_CODEC_ID_FLAC, 86028},
    {AV_CODEC_ID_EAC3, 86057},
    {AV_CODEC_ID_OPUS, MkBeTag('O', 'P', 'U', 'S')},
};
// Older writers may name Opus by its deprecated alias.
constexpr int32_t kOpusDeprecatedWire = 86077;

struct PixelNumber {
    AVPixelFormat format;
    int32_t wire;
};

constexpr PixelNumber kPixelFormats[] = {
    {AV_PIX_FMT_NONE, -1},
    {AV_PIX_FMT_YUV420P, 0},
    {AV_PIX_FMT_YUYV422, 1},
    {AV_PIX_FMT_RGB24, 2},
    {AV_PIX_FMT_BGR24, 3},
    {AV_PIX_FMT_YUV422P, 4},
    {AV_PIX_FMT_YUV444P, 5},
    {AV_PIX_FMT_YUV410P, 6},
    {AV_PIX_FMT_YUV411P, 7},
    {AV_PIX_FMT_GRAY8, 8},
    {AV_PIX_FMT_MONOWHITE, 9},
    {AV_PIX_FMT_MONOBLACK, 10},
    {AV_PIX_FMT_PAL8, 11},
    {AV_PIX_FMT_YUVJ420P, 12},
    {AV_PIX_FMT_YUVJ422P, 13},
    {AV_PIX_FMT_YUVJ444P, 14},
    {AV_PIX_FMT_UYVY422, 17},
    {AV_PIX_FMT_UYYVYY411, 18},
    {AV_PIX_FMT_BGR8, 19},
    {AV_PIX_FMT_BGR4, 20},
    {AV_PIX_FMT_BGR4_BYTE, 21},
    {AV_PIX_FMT_RGB8, 22},
    {AV_PIX_FMT_RGB4, 23},
    {AV_PIX_FMT_RGB4_BYTE, 24},
    {AV_PIX_FMT_NV12, 25},
    {AV_PIX_FMT_NV21, 26},
    {AV_PIX_FMT_ARGB, 27},
    {AV_PIX_FMT_RGBA, 28},
    {AV_PIX_FMT_ABGR, 29},
    {AV_PIX_FMT_BGRA, 30},
    {AV_PIX_FMT_GRAY16BE, 31},
    {AV_PIX_FMT_GRAY16LE, 32},
    {AV_PIX_FMT_YUV440P, 33},
    {AV_PIX_FMT_YUVJ440P, 34},
    {AV_PIX_FMT_YUVA420P, 35},
    {AV_PIX_FMT_RGB48BE, 41},
    {AV_PIX_FMT_RGB48LE, 42},
    {AV_PIX_FMT_RGB565LE, 44},
    {AV_PIX_FMT_RGB555LE, 46},
    {AV_PIX_FMT_BGR565LE, 48},
    {AV_PIX_FMT_YUV420P16LE, 54},
    {AV_PIX_FMT_YUV422P16LE, 56},
    {AV_PIX_FMT_YUV444P16LE, 58},
    {AV_PIX_FMT_DXVA2_VLD, 61},
    {AV_PIX_FMT_GRAY8A, 66},
    {AV_PIX_FMT_YUV420P9LE, 70},
    {AV_PIX_FMT_YUV420P10LE, 72},
    {AV_PIX_FMT_YUV422P10LE, 74},
    {AV_PIX_FMT_YUV444P9LE, 76},
    {AV_PIX_FMT_YUV444P10LE, 78},
    {AV_PIX_FMT_YUV422P9LE, 80},
    {AV_PIX_FMT_GBRP, 82},
    {AV_PIX_FMT_GBRP10LE, 86},
    {AV_PIX_FMT_GBRP16LE, 88},
    {AV_PIX_FMT_YUVA420P10LE, 98},
    {AV_PIX_FMT_VDPAU, 109},
    {AV_PIX_FMT_RGBA64LE, 292},
    {AV_PIX_FMT_BGRA64LE, 294},
    {AV_PIX_FMT_0RGB, 295},
    {AV_PIX_FMT_RGB0, 296},
    {AV_PIX_FMT_0BGR, 297},
    {AV_PIX_FMT_BGR0, 298},
    {AV_PIX_FMT_YUVA444P, 299},
    {AV_PIX_FMT_YUVA422P, 300},
    {AV_PIX_FMT_YUV420P12LE, 302},
    {AV_PIX_FMT_YUV422P12LE, 306},
    {AV_PIX_FMT_YUV444P12LE, 310},
    {AV_PIX_FMT_GBRP12LE, 314},
};

// Flag bits present with the same meaning on both sides.
constexpr uint32_t kSharedCodecFlags = 0x00000002u | 0x00000004u | 0x00000010u | 0x00000200u | 0x00000400u |
                                       0x00000800u | 0x00002000u | 0x00008000u | 0x00010000u | 0x00040000u |
                                       0x00080000u | 0x00400000u | 0x00800000u | 0x01000000u | 0x20000000u |
                                       0x80000000u;

} // namespace

int32_t ToWireCodecId(AVCodecID id)
{
    for (const auto& c : kCodecs)
        if (c.id == id)
            return c.wire;
    throw std::invalid_argument(std::string("Codec has no wire number: ") + avcodec_get_name(id));
}

AVCodecID FromWireCodecId(int32_t wire)
{
    if (wire == kOpusDeprecatedWire)
        return AV_CODEC_ID_OPUS;
    for (const auto& c : kCodecs)
        if (c.wire == wire)
            return c.id;
    throw WireFormatError("Unknown codec number on the wire: " + std::to_string(wire));
}

int32_t ToWirePixelFormat(int format)
{
    for (const auto& p : kPixelFormats)
        if (p.format == format)
            return p.wire;
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    throw std::invalid_argument(std::string("Pixel format has no wire number: ") +
                                (name ? name : std::to_string(format)));
}

int FromWirePixelFormat(int32_t wire)
{
    for (const auto& p : kPixelFormats)
        if (p.wire == wire)
            return p.format;
    throw WireFormatError("Unknown pixel format number on the wire: " + std::to_string(wire));
}

// Sample formats keep one numbering in both generations; only the 64-bit
// formats are newer and cannot travel.
int32_t ToWireSampleFormat(int format)
{
    if (format >= AV_SAMPLE_FMT_NONE && format <= AV_SAMPLE_FMT_DBLP)
        return format;
    const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(format));
    throw std::invalid_argument(std::string("Sample format has no wire number: ") +
                                (name ? name : std::to_string(format)));
}

int FromWireSampleFormat(int32_t wire)
{
    if (wire >= AV_SAMPLE_FMT_NONE && wire <= AV_SAMPLE_FMT_DBLP)
        return wire;
    throw WireFormatError("Unknown sample format number on the wire: " + std::to_string(wire));
}

int32_t ToWireMediaType(AVMediaType type)
{
    if (type >= AVMEDIA_TYPE_UNKNOWN && type <= AVMEDIA_TYPE_ATTACHMENT)
        return type;
    throw std::invalid_argument("Media type has no wire number: " + std::to_string(type));
}

AVMediaType FromWireMediaType(int32_t wire)
{
    if (wire >= AVMEDIA_TYPE_UNKNOWN && wire <= AVMEDIA_TYPE_ATTACHMENT)
        return static_cast<AVMediaType>(wire);
    throw WireFormatError("Unknown media type on the wire: " + std::to_string(wire));
}

uint32_t ToWireCodecFlags(int flags)
{
    return static_cast<uint32_t>(flags) & kSharedCodecFlags;
}

int FromWireCodecFlags(uint32_t wire)
{
    return static_cast<int>(wire & kSharedCodecFlags);
}

} // namespace Quillet::Wire

#include "core/CodecContextImage.h"

#include <bit>
#include <limits>

#include "core/WireBytes.h"
#include "core/WireNumbering.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace Quillet::CodecImage {
namespace {

// Image offsets of the carried fields.
constexpr size_t kCodecType = 8;
constexpr size_t kCodecId = 48;
constexpr size_t kCodecTag = 52;
constexpr size_t kBitRate = 76;
constexpr size_t kBitRateTolerance = 80;
constexpr size_t kFlags = 92;
constexpr size_t kTimeBase = 108;
constexpr size_t kTicksPerFrame = 116;
constexpr size_t kDelay = 120;
constexpr size_t kWidth = 124;
constexpr size_t kHeight = 128;
constexpr size_t kCodedWidth = 132;
constexpr size_t kCodedHeight = 136;
constexpr size_t kGopSize = 140;
constexpr size_t kPixFmt = 144;
constexpr size_t kMaxBFrames = 160;
constexpr size_t kHasBFrames = 188;
constexpr size_t kSampleAspectRatio = 236;
constexpr size_t kColorPrimaries = 408;
constexpr size_t kColorTrc = 412;
constexpr size_t kColorSpace = 416;
constexpr size_t kColorRange = 420;
constexpr size_t kChromaLocation = 424;
constexpr size_t kFieldOrder = 432;
constexpr size_t kSampleRate = 436;
constexpr size_t kChannels = 440;
constexpr size_t kSampleFmt = 444;
constexpr size_t kFrameSize = 448;
constexpr size_t kBlockAlign = 456;
constexpr size_t kChannelLayout = 472;
constexpr size_t kAudioServiceType = 488;
constexpr size_t kRcBufferSize = 540;
constexpr size_t kRcMaxRate = 556;
constexpr size_t kRcMinRate = 560;
constexpr size_t kBitsPerCodedSample = 812;
constexpr size_t kBitsPerRawSample = 816;
constexpr size_t kProfile = 860;
constexpr size_t kLevel = 864;
constexpr size_t kPktTimebase = 904;

// Any non-zero value marks a matrix as present; the pointer itself means
// nothing to the reader.
constexpr int32_t kPresent = 1;

int32_t Clamp32(int64_t v)
{
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

uint64_t NativeMask(const AVChannelLayout& layout)
{
    return layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
}

void PutRational(WireWriter& w, size_t at, AVRational q)
{
    w.PutI32(at, q.num);
    w.PutI32(at + 4, q.den);
}

AVRational GetRational(const WireReader& r, size_t at, const char* what)
{
    return AVRational{r.I32(at, what), r.I32(at + 4, what)};
}

// These tags travel as the sender's own FFmpeg numbers. One this FFmpeg does
// not know (a newer sender, or garbage) becomes "unspecified": storing it in
// the enum as it is would be undefined behaviour, and it is not worth
// refusing a whole stream over a colour or service tag.
template <typename Enum>
Enum KnownOr(int32_t v, int32_t end, Enum unspecified)
{
    return v >= 0 && v < end ? static_cast<Enum>(v) : unspecified;
}

void RequireNonNegative(int32_t v, const char* what)
{
    if (v < 0)
        throw WireFormatError(std::string("Codec record with a negative ") + what);
}

} // namespace

void Write(WireWriter& w, size_t base, const AVCodecContext* c)
{
    auto at = [base](size_t off) { return base + off; };
    w.PutI32(at(kCodecType), Wire::ToWireMediaType(c->codec_type));
    w.PutI32(at(kCodecId), Wire::ToWireCodecId(c->codec_id));
    w.PutU32(at(kCodecTag), c->codec_tag);
    w.PutI32(at(kBitRate), Clamp32(c->bit_rate));
    w.PutI32(at(kBitRateTolerance), c->bit_rate_tolerance);
    w.PutU32(at(kFlags), Wire::ToWireCodecFlags(c->flags));
    w.PutI32(at(kExtraDataSize), c->extradata ? c->extradata_size : 0);
    PutRational(w, at(kTimeBase), c->time_base);
    w.PutI32(at(kTicksPerFrame), c->ticks_per_frame);
    w.PutI32(at(kDelay), c->delay);
    w.PutI32(at(kWidth), c->width);
    w.PutI32(at(kHeight), c->height);
    w.PutI32(at(kCodedWidth), c->coded_width);
    w.PutI32(at(kCodedHeight), c->coded_height);
    w.PutI32(at(kGopSize), c->gop_size);
    w.PutI32(at(kPixFmt), Wire::ToWirePixelFormat(c->codec_type == AVMEDIA_TYPE_VIDEO ? c->pix_fmt : AV_PIX_FMT_NONE));
    w.PutI32(at(kMaxBFrames), c->max_b_frames);
    w.PutI32(at(kHasBFrames), c->has_b_frames);
    PutRational(w, at(kSampleAspectRatio), c->sample_aspect_ratio);
    w.PutI32(at(kIntraMatrix), c->intra_matrix ? kPresent : 0);
    w.PutI32(at(kInterMatrix), c->inter_matrix ? kPresent : 0);
    w.PutI32(at(kColorPrimaries), c->color_primaries);
    w.PutI32(at(kColorTrc), c->color_trc);
    w.PutI32(at(kColorSpace), c->colorspace);
    w.PutI32(at(kColorRange), c->color_range);
    w.PutI32(at(kChromaLocation), c->chroma_sample_location);
    w.PutI32(at(kFieldOrder), c->field_order);
    w.PutI32(at(kSampleRate), c->sample_rate);
    w.PutI32(at(kChannels), c->ch_layout.nb_channels);
    w.PutI32(at(kSampleFmt), Wire::ToWireSampleFormat(c->codec_type == AVMEDIA_TYPE_AUDIO ? c->sample_fmt : AV_SAMPLE_FMT_NONE));
    w.PutI32(at(kFrameSize), c->frame_size);
    w.PutI32(at(kBlockAlign), c->block_align);
    w.PutU64(at(kChannelLayout), NativeMask(c->ch_layout));
    w.PutI32(at(kAudioServiceType), c->audio_service_type);
    w.PutI32(at(kRcBufferSize), c->rc_buffer_size);
    w.PutI32(at(kRcOverrideCount), c->rc_override ? c->rc_override_count : 0);
    w.PutI32(at(kRcMaxRate), Clamp32(c->rc_max_rate));
    w.PutI32(at(kRcMinRate), Clamp32(c->rc_min_rate));
    w.PutI32(at(kBitsPerCodedSample), c->bits_per_coded_sample);
    w.PutI32(at(kBitsPerRawSample), c->bits_per_raw_sample);
    w.PutI32(at(kProfile), c->profile);
    w.PutI32(at(kLevel), c->level);
    PutRational(w, at(kPktTimebase), c->pkt_timebase);
}

TrailingBlocks ReadTrailing(const WireReader& r, size_t base)
{
    TrailingBlocks t;
    t.extraDataSize = r.I32(base + kExtraDataSize, "the extra data size");
    t.intraMatrix = r.I32(base + kIntraMatrix, "the intra matrix marker") != 0;
    t.interMatrix = r.I32(base + kInterMatrix, "the inter matrix marker") != 0;
    t.rcOverrideCount = r.I32(base + kRcOverrideCount, "the override count");
    RequireNonNegative(t.extraDataSize, "extra data size");
    RequireNonNegative(t.rcOverrideCount, "override count");
    return t;
}

void Read(const WireReader& r, size_t base, AVCodecContext* c)
{
    auto at = [base](size_t off) { return base + off; };
    r.Require(base, kSize, "the codec context image");
    c->codec_type = Wire::FromWireMediaType(r.I32(at(kCodecType), "the media type"));
    c->codec_id = Wire::FromWireCodecId(r.I32(at(kCodecId), "the codec id"));
    c->codec_tag = r.U32(at(kCodecTag), "the codec tag");
    c->bit_rate = r.I32(at(kBitRate), "the bit rate");
    c->bit_rate_tolerance = r.I32(at(kBitRateTolerance), "the bit rate tolerance");
    c->flags = Wire::FromWireCodecFlags(r.U32(at(kFlags), "flags"));
    c->time_base = GetRational(r, at(kTimeBase), "the time base");
    c->ticks_per_frame = r.I32(at(kTicksPerFrame), "ticks per frame");
    c->delay = r.I32(at(kDelay), "the delay");
    c->width = r.I32(at(kWidth), "the width");
    c->height = r.I32(at(kHeight), "the height");
    c->coded_width = r.I32(at(kCodedWidth), "the coded width");
    c->coded_height = r.I32(at(kCodedHeight), "the coded height");
    RequireNonNegative(c->width, "width");
    RequireNonNegative(c->height, "height");
    RequireNonNegative(c->coded_width, "coded width");
    RequireNonNegative(c->coded_height, "coded height");
    c->gop_size = r.I32(at(kGopSize), "the gop size");
    c->pix_fmt = static_cast<AVPixelFormat>(Wire::FromWirePixelFormat(r.I32(at(kPixFmt), "the pixel format")));
    c->max_b_frames = r.I32(at(kMaxBFrames), "max b frames");
    c->has_b_frames = r.I32(at(kHasBFrames), "has b frames");
    RequireNonNegative(c->has_b_frames, "reorder delay");
    c->sample_aspect_ratio = GetRational(r, at(kSampleAspectRatio), "the aspect ratio");
    c->color_primaries = KnownOr(r.I32(at(kColorPrimaries), "colour primaries"), AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED);
    c->color_trc = KnownOr(r.I32(at(kColorTrc), "colour transfer"), AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED);
    c->colorspace = KnownOr(r.I32(at(kColorSpace), "colour space"), AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
    c->color_range = KnownOr(r.I32(at(kColorRange), "colour range"), AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
    c->chroma_sample_location =
        KnownOr(r.I32(at(kChromaLocation), "chroma location"), AVCHROMA_LOC_NB, AVCHROMA_LOC_UNSPECIFIED);
    c->field_order = KnownOr(r.I32(at(kFieldOrder), "field order"), AV_FIELD_BT + 1, AV_FIELD_UNKNOWN);
    c->sample_rate = r.I32(at(kSampleRate), "the sample rate");
    RequireNonNegative(c->sample_rate, "sample rate");
    const int32_t channels = r.I32(at(kChannels), "the channel count");
    if (channels < 0 || channels > 64)
        throw WireFormatError("Codec record with an impossible channel count " + std::to_string(channels));
    c->sample_fmt = static_cast<AVSampleFormat>(Wire::FromWireSampleFormat(r.I32(at(kSampleFmt), "the sample format")));
    c->frame_size = r.I32(at(kFrameSize), "the frame size");
    c->block_align = r.I32(at(kBlockAlign), "the block alignment");
    const uint64_t mask = r.U64(at(kChannelLayout), "the channel layout");
    av_channel_layout_uninit(&c->ch_layout);
    if (mask != 0 && std::popcount(mask) == channels)
        av_channel_layout_from_mask(&c->ch_layout, mask);
    else if (channels > 0) {
        c->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        c->ch_layout.nb_channels = channels;
    }
    c->audio_service_type =
        KnownOr(r.I32(at(kAudioServiceType), "the service type"), AV_AUDIO_SERVICE_TYPE_NB, AV_AUDIO_SERVICE_TYPE_MAIN);
    c->rc_buffer_size = r.I32(at(kRcBufferSize), "the buffer size");
    c->rc_max_rate = r.I32(at(kRcMaxRate), "the max rate");
    c->rc_min_rate = r.I32(at(kRcMinRate), "the min rate");
    c->bits_per_coded_sample = r.I32(at(kBitsPerCodedSample), "bits per coded sample");
    c->bits_per_raw_sample = r.I32(at(kBitsPerRawSample), "bits per raw sample");
    c->profile = r.I32(at(kProfile), "the profile");
    c->level = r.I32(at(kLevel), "the level");
    c->pkt_timebase = GetRational(r, at(kPktTimebase), "the packet time base");
}

} // namespace Quillet::CodecImage

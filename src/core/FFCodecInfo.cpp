#include "core/FFCodecInfo.h"

#include <cstring>
#include <limits>
#include <string>

#include "core/CodecContextImage.h"
#include "core/FFCodecLock.h"
#include "core/WireBytes.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace Quillet {
namespace {

constexpr size_t kTimeBaseNum = 980;
constexpr size_t kTimeBaseDen = 984;
constexpr size_t kDisposition = 988;
constexpr size_t kStreamType = 992;
constexpr size_t kPadding = 16;
constexpr size_t kMatrixSize = 64 * sizeof(uint16_t);
constexpr size_t kOverrideSize = 16;

constexpr size_t P(size_t recordOffset) { return recordOffset - FFData::kHeaderSize; }

template <typename T>
T* DuplicateArray(const T* src, size_t count)
{
    if (!src || count == 0)
        return nullptr;
    auto* dst = static_cast<T*>(av_malloc(count * sizeof(T)));
    if (!dst)
        throw std::bad_alloc();
    std::memcpy(dst, src, count * sizeof(T));
    return dst;
}

uint16_t* ReadMatrix(const WireReader& r, size_t at)
{
    auto* m = static_cast<uint16_t*>(av_malloc(kMatrixSize));
    if (!m)
        throw std::bad_alloc();
    for (size_t i = 0; i < 64; ++i)
        m[i] = static_cast<uint16_t>(r.U8(at + 2 * i, "a quantiser matrix") |
                                     (r.U8(at + 2 * i + 1, "a quantiser matrix") << 8));
    return m;
}

void WriteMatrix(WireWriter& w, size_t at, const uint16_t* m)
{
    for (size_t i = 0; i < 64; ++i) {
        w.PutU8(at + 2 * i, static_cast<uint8_t>(m[i] & 0xFF));
        w.PutU8(at + 2 * i + 1, static_cast<uint8_t>(m[i] >> 8));
    }
}

} // namespace

void CopyCodecDescription(AVCodecContext* dst, const AVCodecContext* src)
{
    AVCodecParametersPtr par(avcodec_parameters_alloc());
    if (!par)
        throw std::bad_alloc();
    if (avcodec_parameters_from_context(par.get(), src) < 0 || avcodec_parameters_to_context(dst, par.get()) < 0)
        throw std::bad_alloc();
    // What codec parameters do not carry.
    dst->time_base = src->time_base;
    dst->ticks_per_frame = src->ticks_per_frame;
    dst->pkt_timebase = src->pkt_timebase;
    dst->delay = src->delay;
    dst->coded_width = src->coded_width;
    dst->coded_height = src->coded_height;
    dst->gop_size = src->gop_size;
    dst->max_b_frames = src->max_b_frames;
    dst->flags = src->flags;
    dst->flags2 = src->flags2;
    dst->bit_rate_tolerance = src->bit_rate_tolerance;
    dst->rc_buffer_size = src->rc_buffer_size;
    dst->rc_max_rate = src->rc_max_rate;
    dst->rc_min_rate = src->rc_min_rate;
    dst->audio_service_type = src->audio_service_type;
    if (src->codec_type == AVMEDIA_TYPE_VIDEO)
        dst->pix_fmt = src->pix_fmt;
    else if (src->codec_type == AVMEDIA_TYPE_AUDIO)
        dst->sample_fmt = src->sample_fmt;

    av_freep(&dst->intra_matrix);
    av_freep(&dst->inter_matrix);
    av_freep(&dst->rc_override);
    dst->intra_matrix = DuplicateArray(src->intra_matrix, 64);
    dst->inter_matrix = DuplicateArray(src->inter_matrix, 64);
    dst->rc_override_count = 0;
    if (src->rc_override && src->rc_override_count > 0) {
        dst->rc_override = DuplicateArray(src->rc_override, static_cast<size_t>(src->rc_override_count));
        dst->rc_override_count = src->rc_override_count;
    }
}

FFCodecInfo::FFCodecInfo() : FFData(FFType::CodecInfo), codecContext(MakeCodecContext()) {}

FFCodecInfo::FFCodecInfo(const AVCodecContext* context) : FFCodecInfo()
{
    CopyCodecDescription(codecContext.get(), context);
}

std::shared_ptr<FFCodecInfo> FFCodecInfo::FromStream(const AVStream* stream)
{
    auto info = std::make_shared<FFCodecInfo>();
    if (avcodec_parameters_to_context(info->codecContext.get(), stream->codecpar) < 0)
        throw std::bad_alloc();
    info->codecContext->time_base = stream->time_base;
    info->codecContext->pkt_timebase = stream->time_base;
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream->avg_frame_rate.num > 0)
        info->codecContext->framerate = stream->avg_frame_rate;
    info->timeBaseNum = stream->time_base.num;
    info->timeBaseDen = stream->time_base.den;
    info->disposition = stream->disposition;
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        info->streamType = FFStreamType::Video;
    else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        info->streamType = FFStreamType::Audio;
    return info;
}

AVCodecContextPtr FFCodecInfo::CopyContext(const AVCodec* codec) const
{
    AVCodecContextPtr fresh = MakeCodecContext(codec);
    CopyCodecDescription(fresh.get(), codecContext.get());
    return fresh;
}

int FFCodecInfo::ResetForCodec(const AVCodec* codec)
{
    try {
        codecContext = CopyContext(codec);
        return 0;
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
}

int32_t FFCodecInfo::GetSerializedSize() const
{
    const AVCodecContext* c = codecContext.get();
    int64_t n = kBaseSize;
    if (c->extradata)
        n += c->extradata_size;
    if (c->intra_matrix)
        n += kMatrixSize;
    if (c->inter_matrix)
        n += kMatrixSize;
    if (c->rc_override)
        n += static_cast<int64_t>(kOverrideSize) * c->rc_override_count;
    if (n > std::numeric_limits<int32_t>::max())
        throw std::length_error("Codec description too large to serialize");
    return static_cast<int32_t>(n);
}

void FFCodecInfo::WritePayload(WireWriter& w) const
{
    const AVCodecContext* c = codecContext.get();
    WriteObjectHead(w);
    CodecImage::Write(w, kImageOffset, c);
    w.PutI32(kTimeBaseNum, timeBaseNum);
    w.PutI32(kTimeBaseDen, timeBaseDen);
    w.PutI32(kDisposition, disposition);
    w.PutI32(kStreamType, static_cast<int32_t>(streamType));

    size_t at = kExtraDataOffset;
    if (c->extradata && c->extradata_size > 0) {
        w.PutBytes(at, c->extradata, static_cast<size_t>(c->extradata_size));
        at += static_cast<size_t>(c->extradata_size);
    }
    at += kPadding;
    if (c->intra_matrix) {
        WriteMatrix(w, at, c->intra_matrix);
        at += kMatrixSize;
    }
    if (c->inter_matrix) {
        WriteMatrix(w, at, c->inter_matrix);
        at += kMatrixSize;
    }
    if (c->rc_override) {
        for (int i = 0; i < c->rc_override_count; ++i, at += kOverrideSize) {
            const RcOverride& o = c->rc_override[i];
            w.PutI32(at, o.start_frame);
            w.PutI32(at + 4, o.end_frame);
            w.PutI32(at + 8, o.qscale);
            w.PutF32(at + 12, o.quality_factor);
        }
    }
}

void FFCodecInfo::Deserialize(const uint8_t* payload, int32_t length)
{
    if (length < 0)
        throw WireFormatError("Codec record with a negative length");
    WireReader r(payload, static_cast<size_t>(length));
    r.Require(0, P(kBaseSize), "a codec description's fixed part");

    const auto trailing = CodecImage::ReadTrailing(r, P(kImageOffset));
    const int64_t expected = int64_t{kBaseSize} - kHeaderSize + trailing.extraDataSize +
                             (trailing.intraMatrix ? kMatrixSize : 0) + (trailing.interMatrix ? kMatrixSize : 0) +
                             int64_t{kOverrideSize} * trailing.rcOverrideCount;
    if (expected != length)
        throw WireFormatError("Codec record declares " + std::to_string(expected + kHeaderSize) +
                              " bytes but holds " + std::to_string(length + kHeaderSize));
    const int32_t st = r.I32(P(kStreamType), "the stream type");
    if (st < static_cast<int32_t>(FFStreamType::None) || st > static_cast<int32_t>(FFStreamType::Audio))
        throw WireFormatError("Codec record with an unknown stream type " + std::to_string(st));

    // Build into a fresh context so that a failure leaves this record as it was.
    AVCodecContextPtr c = MakeCodecContext();
    CodecImage::Read(r, P(kImageOffset), c.get());

    size_t at = P(kExtraDataOffset);
    if (trailing.extraDataSize > 0) {
        const auto n = static_cast<size_t>(trailing.extraDataSize);
        c->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c->extradata)
            throw std::bad_alloc();
        std::memcpy(c->extradata, r.At(at, n, "the extra data"), n);
        c->extradata_size = trailing.extraDataSize;
        at += n;
    }
    at += kPadding;
    if (trailing.intraMatrix) {
        c->intra_matrix = ReadMatrix(r, at);
        at += kMatrixSize;
    }
    if (trailing.interMatrix) {
        c->inter_matrix = ReadMatrix(r, at);
        at += kMatrixSize;
    }
    if (trailing.rcOverrideCount > 0) {
        const auto k = static_cast<size_t>(trailing.rcOverrideCount);
        c->rc_override = static_cast<RcOverride*>(av_malloc_array(k, sizeof(RcOverride)));
        if (!c->rc_override)
            throw std::bad_alloc();
        c->rc_override_count = trailing.rcOverrideCount;
        for (size_t i = 0; i < k; ++i, at += kOverrideSize) {
            c->rc_override[i].start_frame = r.I32(at, "an override");
            c->rc_override[i].end_frame = r.I32(at + 4, "an override");
            c->rc_override[i].qscale = r.I32(at + 8, "an override");
            c->rc_override[i].quality_factor = r.F32(at + 12, "an override");
        }
    }

    codecContext = std::move(c);
    timeBaseNum = r.I32(P(kTimeBaseNum), "the time base");
    timeBaseDen = r.I32(P(kTimeBaseDen), "the time base");
    disposition = r.I32(P(kDisposition), "the disposition");
    streamType = static_cast<FFStreamType>(st);
}

} // namespace Quillet

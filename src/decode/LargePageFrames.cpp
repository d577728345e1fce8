#include "decode/LargePageFrames.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace Quillet {

namespace {

constexpr size_t kLargePage = size_t{2} << 20;
// Blocks smaller than this are ordinary memory.
constexpr size_t kLargeEnough = size_t{1} << 20;
// Plane starts are aligned for any vector unit; each plane has this much
// room after it for decoders that read a little past the end.
constexpr size_t kAlign = 64;

void FreeSmall(void*, uint8_t* data) { std::free(data); }

// `opaque` carries the mapping's length.
void Unmap(void* opaque, uint8_t* data) { munmap(data, reinterpret_cast<uintptr_t>(opaque)); }

// A zeroed block, as the decoder's own pool gives them. Large ones are
// mappings of their own, aligned to a large page (fresh mappings are zero).
AVBufferRef* AllocateBlock(void*, size_t size)
{
    if (size < kLargeEnough) {
        const size_t rounded = (size + kAlign - 1) / kAlign * kAlign;
        auto* data = static_cast<uint8_t*>(std::aligned_alloc(kAlign, rounded));
        if (!data)
            return nullptr;
        std::memset(data, 0, size);
        AVBufferRef* ref = av_buffer_create(data, size, &FreeSmall, nullptr, 0);
        if (!ref)
            std::free(data);
        return ref;
    }
    const size_t rounded = (size + kLargePage - 1) / kLargePage * kLargePage;
    const size_t length = rounded + kLargePage;
    void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    // Only the aligned part stays mapped.
    const auto base = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (base + kLargePage - 1) / kLargePage * kLargePage;
    if (start > base)
        munmap(mapped, start - base);
    if (base + length > start + rounded)
        munmap(reinterpret_cast<void*>(start + rounded), base + length - (start + rounded));
    auto* data = reinterpret_cast<uint8_t*>(start);
#ifdef MADV_HUGEPAGE
    madvise(data, rounded, MADV_HUGEPAGE);
#endif
    AVBufferRef* ref = av_buffer_create(data, size, &Unmap, reinterpret_cast<void*>(rounded), 0);
    if (!ref)
        munmap(data, rounded);
    return ref;
}

} // namespace

LargePageFrames::~LargePageFrames()
{
    av_buffer_pool_uninit(&_pool);
}

void LargePageFrames::Install(AVCodecContext* context)
{
    if (!context->codec || !(context->codec->capabilities & AV_CODEC_CAP_DR1))
        return;
    context->opaque = this;
    context->get_buffer2 = &LargePageFrames::GetBuffer;
}

int LargePageFrames::GetBuffer(AVCodecContext* context, AVFrame* frame, int flags)
{
    auto* self = static_cast<LargePageFrames*>(context->opaque);
    if (context->codec_type != AVMEDIA_TYPE_VIDEO || context->hw_frames_ctx || !self)
        return avcodec_default_get_buffer2(context, frame, flags);
    return self->Lend(context, frame, flags);
}

int LargePageFrames::Lend(AVCodecContext* context, AVFrame* frame, int flags)
{
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(format);
    // Palettes and bitstream formats keep the decoder's own layout.
    if (!description || (description->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)) ||
        frame->width <= 0 || frame->height <= 0)
        return avcodec_default_get_buffer2(context, frame, flags);
    std::lock_guard<std::mutex> guard(_mutex);
    if (!_pool || format != _format || frame->width != _width || frame->height != _height) {
        // As the decoder's own buffers: dimensions padded as the codec needs,
        // the row length grown until every plane's rows are aligned.
        int width = frame->width, height = frame->height;
        int align[AV_NUM_DATA_POINTERS] = {};
        avcodec_align_dimensions2(context, &width, &height, align);
        int linesize[4] = {};
        for (bool aligned = false; !aligned; width += width & ~(width - 1)) {
            if (av_image_fill_linesizes(linesize, format, width) < 0)
                return AVERROR(EINVAL);
            aligned = true;
            for (int i = 0; i < 4; ++i)
                aligned = aligned && (align[i] <= 0 || linesize[i] % align[i] == 0);
        }
        ptrdiff_t strides[4] = {linesize[0], linesize[1], linesize[2], linesize[3]};
        size_t sizes[4] = {};
        if (av_image_fill_plane_sizes(sizes, format, height, strides) < 0)
            return AVERROR(EINVAL);
        size_t total = 0;
        for (int i = 0; i < 4; ++i) {
            _linesize[i] = linesize[i];
            _offset[i] = total;
            if (sizes[i] > 0)
                total += (sizes[i] + 2 * kAlign - 1) / kAlign * kAlign;
        }
        av_buffer_pool_uninit(&_pool);
        _pool = av_buffer_pool_init2(total, nullptr, &AllocateBlock, nullptr);
        if (!_pool)
            return AVERROR(ENOMEM);
        _format = format;
        _width = frame->width;
        _height = frame->height;
        _blockSize = total;
    }
    frame->buf[0] = av_buffer_pool_get(_pool);
    if (!frame->buf[0])
        return AVERROR(ENOMEM);
    uint8_t* base = frame->buf[0]->data;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = _linesize[i] > 0 ? base + _offset[i] : nullptr;
        frame->linesize[i] = _linesize[i];
    }
    frame->extended_data = frame->data;
    return 0;
}

} // namespace Quillet

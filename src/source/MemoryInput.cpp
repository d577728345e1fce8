#include "source/MemoryInput.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace Quillet {
namespace {
constexpr int kBufferSize = 4096;
}

MemoryInput::MemoryInput(std::vector<uint8_t> bytes) : _bytes(std::move(bytes))
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer)
        return;
    _context = avio_alloc_context(buffer, kBufferSize, 0, this, &MemoryInput::Read, nullptr, &MemoryInput::Seek);
    if (!_context)
        av_free(buffer);
}

MemoryInput::~MemoryInput()
{
    if (!_context)
        return;
    // The demuxer may have replaced the buffer; free whatever it holds now.
    av_freep(&_context->buffer);
    avio_context_free(&_context);
}

int MemoryInput::Read(void* opaque, uint8_t* buffer, int size)
{
    auto* self = static_cast<MemoryInput*>(opaque);
    const size_t left = self->_bytes.size() - std::min(self->_position, self->_bytes.size());
    if (left == 0)
        return AVERROR_EOF;
    const size_t n = std::min(left, static_cast<size_t>(std::max(size, 0)));
    std::memcpy(buffer, self->_bytes.data() + self->_position, n);
    self->_position += n;
    return static_cast<int>(n);
}

int64_t MemoryInput::Seek(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<MemoryInput*>(opaque);
    const auto size = static_cast<int64_t>(self->_bytes.size());
    int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = static_cast<int64_t>(self->_position) + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return AVERROR(EINVAL);
    }
    if (target < 0 || target > size)
        return AVERROR(EINVAL);
    self->_position = static_cast<size_t>(target);
    return target;
}

} // namespace Quillet

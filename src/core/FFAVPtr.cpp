#include "core/FFAVPtr.h"

#include <new>

#include "core/FFCodecLock.h"

namespace Quillet {

void AVCodecContextDeleter::operator()(AVCodecContext* c) const
{
    std::lock_guard<std::mutex> guard(CodecLock());
    avcodec_free_context(&c);
}

AVPacketPtr MakePacket()
{
    AVPacket* p = av_packet_alloc();
    if (!p)
        throw std::bad_alloc();
    return AVPacketPtr(p);
}

AVFramePtr MakeFrame()
{
    AVFrame* f = av_frame_alloc();
    if (!f)
        throw std::bad_alloc();
    return AVFramePtr(f);
}

AVCodecContextPtr MakeCodecContext(const AVCodec* codec)
{
    std::lock_guard<std::mutex> guard(CodecLock());
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c)
        throw std::bad_alloc();
    return AVCodecContextPtr(c);
}

} // namespace Quillet

#include "PngWriter.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "core/FFAVPtr.h"
#include "core/FFCodecLock.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace Quillet::Tools {

void WritePng(const std::string& path, const uint8_t* rgb, int width, int height)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec)
        throw std::runtime_error("This FFmpeg has no PNG encoder");
    AVCodecContextPtr context = MakeCodecContext(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 25};
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        if (avcodec_open2(context.get(), codec, nullptr) < 0)
            throw std::runtime_error("Cannot open the PNG encoder");
    }
    AVFramePtr frame = MakeFrame();
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = width;
    frame->height = height;
    av_image_fill_arrays(frame->data, frame->linesize, rgb, AV_PIX_FMT_RGB24, width, height, 1);
    AVPacketPtr packet = MakePacket();
    if (avcodec_send_frame(context.get(), frame.get()) < 0 || avcodec_receive_packet(context.get(), packet.get()) < 0)
        throw std::runtime_error("PNG encoding failed");
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file || std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file.get()) !=
                     static_cast<size_t>(packet->size))
        throw std::runtime_error("Cannot write " + path);
}

} // namespace Quillet::Tools

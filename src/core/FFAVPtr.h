#pragma once
// Owning handles for FFmpeg objects. Codec contexts are freed under the
// process-wide codec lock, because freeing closes the codec. A handle is
// owned by one object and used by that object's thread(s) under its locks.
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace Quillet {

struct AVPacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVFrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVCodecContextDeleter {
    void operator()(AVCodecContext* c) const;
};
struct AVCodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
// An input context opened with avformat_open_input.
struct AVInputContextDeleter {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVCodecParametersPtr = std::unique_ptr<AVCodecParameters, AVCodecParametersDeleter>;
using AVInputContextPtr = std::unique_ptr<AVFormatContext, AVInputContextDeleter>;

AVPacketPtr MakePacket();
AVFramePtr MakeFrame();
// Allocates a context for the given codec (or none) under the codec lock.
AVCodecContextPtr MakeCodecContext(const AVCodec* codec = nullptr);

} // namespace Quillet

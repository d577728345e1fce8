#pragma once
// FFmpeg's ids in the camera client's own codes. Pure functions, any thread.
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
}

#include "camera/MediaPacket.h"

namespace Quillet {

MediaPacket::Codec CameraCodecOf(AVCodecID id);
MediaPacket::AVPixelFormat CameraPixelFormatOf(::AVPixelFormat format);

} // namespace Quillet

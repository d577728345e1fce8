#pragma once
// How the camera client's codes become FFmpeg's: the codec a camera stream
// really carries, whether this library can pass it on, and the parts of a
// description a camera does not send (AAC-LC's configuration). Every record
// may travel to remote viewers in the wire numbering, so a codec without a
// wire number is refused with a reason naming it; it is never passed on as
// some other codec. Pure functions, callable from any thread.
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "camera/MediaPacket.h"

namespace Quillet {

// AV_CODEC_ID_NONE for a code that names no video (resp. audio) codec.
AVCodecID CameraVideoCodecId(MediaPacket::Codec codec);
AVCodecID CameraAudioCodecId(MediaPacket::Codec codec);
// YUV 4:2:0 when the camera names nothing better.
::AVPixelFormat CameraPixelFormat(MediaPacket::AVPixelFormat format);
// Empty when a stream of `id` can be carried; otherwise the reason, naming
// the codec (from `info` when the code itself is unknown).
std::string CameraCodecRefusal(AVCodecID id, const MediaInfoStruct& info, bool video);
// Codecs whose pictures may depend on others: only packets the camera marks
// as key pictures are key packets. Every other picture stands alone.
bool HasInterPictures(AVCodecID id);
// The two-byte AAC-LC AudioSpecificConfig for the context's sample rate and
// channel count, with input padding. False when the rate has no index in
// the table (the escape index 16 is written then).
bool FillAacConfig(AVCodecContext* context);

} // namespace Quillet

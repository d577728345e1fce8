#include "camera/CameraCodes.h"

namespace Quillet {

MediaPacket::Codec CameraCodecOf(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264: return MediaPacket::H264;
    case AV_CODEC_ID_MPEG4: return MediaPacket::MPEG4;
    case AV_CODEC_ID_MJPEG: return MediaPacket::MJPEG;
    case AV_CODEC_ID_PCM_MULAW: return MediaPacket::PCMU;
    case AV_CODEC_ID_PCM_ALAW: return MediaPacket::PCMA;
    case AV_CODEC_ID_ADPCM_G726:
    case AV_CODEC_ID_ADPCM_G726LE: return MediaPacket::G726;
    case AV_CODEC_ID_AAC: return MediaPacket::AAC;
    case AV_CODEC_ID_HEVC: return MediaPacket::HEVC;
    case AV_CODEC_ID_OPUS: return MediaPacket::OPUS;
    case AV_CODEC_ID_ADPCM_G722: return MediaPacket::G722;
    case AV_CODEC_ID_AAC_LATM: return MediaPacket::AACLATM;
    default: return MediaPacket::UnknownCodec;
    }
}

MediaPacket::AVPixelFormat CameraPixelFormatOf(::AVPixelFormat format)
{
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: return MediaPacket::YUV420;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: return MediaPacket::YUV422;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P: return MediaPacket::YUV444;
    case AV_PIX_FMT_GRAY8: return MediaPacket::Gray8;
    default: return MediaPacket::UnknownPixelFormat;
    }
}

} // namespace Quillet

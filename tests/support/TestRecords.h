#pragma once
// Hand-made stream descriptions for tests that feed nodes directly.
#include <memory>

#include "core/FFCodecInfo.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace Quillet::Testing {

// A 320x240 4:2:0 H.264 description in time base num/den, with `extraData`
// bytes of extra data (0xA0, 0xA1, ...).
inline std::shared_ptr<FFCodecInfo> VideoDescription(int32_t num = 1, int32_t den = 12800, int extraData = 0)
{
    auto info = std::make_shared<FFCodecInfo>();
    AVCodecContext* c = info->Context();
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    c->codec_id = AV_CODEC_ID_H264;
    c->width = 320;
    c->height = 240;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{num, den};
    if (extraData > 0) {
        c->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(extraData) + AV_INPUT_BUFFER_PADDING_SIZE));
        for (int i = 0; i < extraData; ++i)
            c->extradata[i] = static_cast<uint8_t>(0xA0 + i);
        c->extradata_size = extraData;
    }
    info->timeBaseNum = num;
    info->timeBaseDen = den;
    info->streamType = FFStreamType::Video;
    return info;
}

// A 48 kHz stereo AAC description.
inline std::shared_ptr<FFCodecInfo> AudioDescription()
{
    auto info = std::make_shared<FFCodecInfo>();
    AVCodecContext* c = info->Context();
    c->codec_type = AVMEDIA_TYPE_AUDIO;
    c->codec_id = AV_CODEC_ID_AAC;
    c->sample_rate = 48000;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_uninit(&c->ch_layout);
    av_channel_layout_default(&c->ch_layout, 2);
    info->timeBaseNum = 1;
    info->timeBaseDen = 48000;
    info->streamType = FFStreamType::Audio;
    return info;
}

} // namespace Quillet::Testing

#pragma once
// Hand-made stream descriptions for tests that feed nodes directly.
#include <memory>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/FFAVCodec.h"
#include "core/FFCodecInfo.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"

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

// A packet of `type` at `pts` (also its dts) with `dataSize` bytes of `fill`;
// video is stream 0, audio stream 1.
inline std::shared_ptr<FFPacket> MakePacket(FFStreamType type, int64_t pts, bool key, int dataSize = 0,
                                            uint8_t fill = 0xA5)
{
    auto p = std::make_shared<FFPacket>();
    if (dataSize > 0) {
        if (av_new_packet(p->Get(), dataSize) < 0)
            throw std::bad_alloc();
        std::memset(p->Get()->data, fill, static_cast<size_t>(dataSize));
    }
    p->Get()->pts = pts;
    p->Get()->dts = pts;
    p->Get()->flags = key ? AV_PKT_FLAG_KEY : 0;
    p->Get()->stream_index = type == FFStreamType::Audio ? 1 : 0;
    p->SetStreamType(type);
    return p;
}

inline std::shared_ptr<FFPacket> Video(int64_t pts, bool key, int dataSize = 0)
{
    return MakePacket(FFStreamType::Video, pts, key, dataSize);
}

inline std::shared_ptr<FFPacket> Audio(int64_t pts, int dataSize = 0)
{
    return MakePacket(FFStreamType::Audio, pts, true, dataSize);
}

// A stream description: video in time base num/den, optionally with audio.
inline std::shared_ptr<FFAVCodec> Codec(int32_t num = 1, int32_t den = 1000, bool withAudio = false, int extraData = 0)
{
    return std::make_shared<FFAVCodec>(VideoDescription(num, den, extraData), withAudio ? AudioDescription() : nullptr);
}

inline std::shared_ptr<FFSeekInfo> SeekMarker(double t)
{
    return std::make_shared<FFSeekInfo>(t);
}

// The records' wire forms back to back, as a serving instance batches them.
inline std::vector<uint8_t> Block(std::initializer_list<std::shared_ptr<FFData>> records)
{
    std::vector<uint8_t> out;
    for (const auto& r : records) {
        auto s = r->Serialize();
        out.insert(out.end(), s->data.get(), s->data.get() + s->size);
    }
    return out;
}

} // namespace Quillet::Testing

#include "source/CameraCodecContexts.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/FFCodecLock.h"
#include "events/FFMessageClient.h"
#include "source/CameraCodecMap.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace Quillet {
namespace {

// A whole description's disposition: the stream is the default one.
constexpr int32_t kDefaultDisposition = 4;

std::shared_ptr<FFCodecInfo> Describe(const AVCodecContext* context, int32_t clock, FFStreamType type)
{
    auto info = std::make_shared<FFCodecInfo>(context);
    info->timeBaseNum = 1;
    info->timeBaseDen = clock;
    info->disposition = kDefaultDisposition;
    info->SetStreamType(type);
    return info;
}

} // namespace

void CameraCodecContexts::ContextDeleter::operator()(AVCodecContext* context) const
{
    if (log)
        log->LogInfo() << "Freeing codec context";
    std::lock_guard<std::mutex> guard(CodecLock());
    avcodec_free_context(&context);
}

CameraCodecContexts::ContextPtr CameraCodecContexts::_Allocate(AVMediaType type) const
{
    AVCodecContext* context;
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        context = avcodec_alloc_context3(nullptr);
    }
    if (!context)
        throw std::bad_alloc();
    context->codec_type = type;
    return ContextPtr(context, ContextDeleter{&_log});
}

bool CameraCodecContexts::SetVideo(const MediaInfoStruct& info, std::vector<std::string>& refusals)
{
    _log.LogInfo() << "CameraCodecContexts::SetVideo";
    const AVCodecID codecId = CameraVideoCodecId(info.codec);
    const ::AVPixelFormat pixelFormat = CameraPixelFormat(info.pixelFormat);
    if (std::string refusal = CameraCodecRefusal(codecId, info, true); !refusal.empty()) {
        _log.LogError() << refusal;
        refusals.push_back(std::move(refusal));
        return false;
    }
    int width = info.width;
    int height = info.height;
    if (width < 0 || height < 0) {
        _log.LogInfo() << "MediaInfo::UNKNOWN_OR_CORRUPT_PARAMETER";
        return false;
    }
    if (width == 0 || height == 0) {
        // The size comes with the first picture; decoders and writers
        // refuse a stream without one.
        _log.LogInfo() << "Faking Video Dimensions, reported as 0 from RTSP-Source";
        width = 100;
        height = 100;
    }
    ContextPtr context = _Allocate(AVMEDIA_TYPE_VIDEO);
    context->codec_id = codecId;
    context->width = width;
    context->height = height;
    context->pix_fmt = pixelFormat;
    // The tag MP4 players want for H.265 with its parameter sets in the
    // sample description; containers without tags ignore it.
    if (codecId == AV_CODEC_ID_HEVC)
        context->codec_tag = MKTAG('h', 'v', 'c', '1');
    if (info.clockRate > 0) {
        context->time_base = AVRational{1, info.clockRate};
        context->pkt_timebase = context->time_base;
    }
    // Parameter sets that a camera announces only out of band (in its
    // session description) must travel with the description, or neither
    // the decoder nor a recorded file can make sense of the pictures.
    if (!info.extradata.empty()) {
        const size_t size = info.extradata.size();
        context->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context->extradata)
            throw std::bad_alloc();
        std::memcpy(context->extradata, info.extradata.data(), size);
        context->extradata_size = static_cast<int>(size);
    }
    _log.LogInfo() << "Setting VideoCodecContext: " << "ID: " << context->codec_id << " - Width: " << context->width
              << " - Height: " << context->height << " - Format: " << context->pix_fmt;
    _video = std::move(context);
    return true;
}

bool CameraCodecContexts::SetAudio(const MediaInfoStruct& info, std::vector<std::string>& refusals)
{
    _log.LogInfo() << "CameraCodecContexts::SetAudio";
    const AVCodecID codecId = CameraAudioCodecId(info.codec);
    if (std::string refusal = CameraCodecRefusal(codecId, info, false); !refusal.empty()) {
        _log.LogError() << refusal;
        refusals.push_back(std::move(refusal));
        return false;
    }
    ContextPtr context = _Allocate(AVMEDIA_TYPE_AUDIO);
    context->codec_id = codecId;
    if (context->codec_id == AV_CODEC_ID_ADPCM_G726 && info.sampleRate > 0)
        context->bits_per_coded_sample = info.bitRateKbps * 1000 / info.sampleRate;
    context->bit_rate = int64_t(info.bitRateKbps) * 1000;
    av_channel_layout_uninit(&context->ch_layout);
    av_channel_layout_default(&context->ch_layout, std::max(0, info.channels));
    context->sample_rate = info.sampleRate;
    if (info.clockRate > 0) {
        context->time_base = AVRational{1, info.clockRate};
        context->pkt_timebase = context->time_base;
    }
    if (context->codec_id == AV_CODEC_ID_AAC) {
        if (!FillAacConfig(context.get()))
            _log.LogError() << "FFRTSPSource::_FillAACExtradata" << "AACV Extradata error";
        // An AAC-LC frame always holds 1024 samples; container writers
        // want to know it.
        context->frame_size = 1024;
    }
    _log.LogInfo() << "Setting AudioCodecContext: " << "Audio ID: " << context->codec_id
              << " - Sample Format: " << context->sample_fmt << " - Bit Rate: " << context->bit_rate
              << " - Sample Rate: " << context->sample_rate << " - Channels: " << context->ch_layout.nb_channels
              << " - Timebase: " << context->time_base.num << "/" << context->time_base.den;
    _audio = std::move(context);
    return true;
}

std::shared_ptr<FFCodecInfo> CameraCodecContexts::DescribeVideo(int32_t clock) const
{
    if (!_video)
        return nullptr;
    auto info = Describe(_video.get(), clock, FFStreamType::Video);
    const AVCodecContext* c = info->Context();
    _log.LogInfo() << "Returning: " << "ID: " << c->codec_id << " - Width: " << c->width << " - Height: " << c->height
                   << " - Format: " << c->pix_fmt << " - Timebase: " << info->timeBaseNum << "/" << info->timeBaseDen;
    return info;
}

std::shared_ptr<FFCodecInfo> CameraCodecContexts::DescribeAudio(int32_t clock) const
{
    if (!_audio)
        return nullptr;
    auto info = Describe(_audio.get(), clock, FFStreamType::Audio);
    const AVCodecContext* c = info->Context();
    _log.LogInfo() << "Returning: " << "Audio ID: " << c->codec_id << " - Sample Format: " << c->sample_fmt
                   << " - Bit Rate: " << c->bit_rate << " - Sample Rate: " << c->sample_rate
                   << " - Channels: " << c->ch_layout.nb_channels << " - Timebase: " << info->timeBaseNum << "/"
                   << info->timeBaseDen;
    return info;
}

} // namespace Quillet

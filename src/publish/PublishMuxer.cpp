#include "publish/PublishMuxer.h"
#include "core/AVErrorText.h"

#include <stdexcept>
#include <string>

#include "core/UrlForLog.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace Quillet {
namespace {

// A peer that stops reading must not hold the worker for ever: network
// reads and writes give up after this long (microseconds).
constexpr const char* kIoTimeoutUs = "5000000";

void Check(int code, const std::string& what)
{
    if (code < 0)
        throw std::runtime_error(what + ": " + AVErrorText(code));
}

} // namespace

void PublishMuxer::ContextDeleter::operator()(AVFormatContext* context) const
{
    if (context->pb && !(context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&context->pb);
    avformat_free_context(context);
}

PublishMuxer::PublishMuxer(const PublishTarget& target, const std::atomic<bool>& stop) : _target(target), _stop(stop)
{
}

PublishMuxer::~PublishMuxer()
{
    Close();
}

int PublishMuxer::Interrupted(void* self)
{
    return static_cast<PublishMuxer*>(self)->_stop.load() ? 1 : 0;
}

AVDictionary* PublishMuxer::_MuxerOptions() const
{
    AVDictionary* options = nullptr;
    switch (_target.protocol) {
    case PublishProtocol::Rtsp:
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
        av_dict_set(&options, "timeout", kIoTimeoutUs, 0);
        break;
    case PublishProtocol::Hls:
        av_dict_set(&options, "hls_time", std::to_string(_target.segmentSeconds).c_str(), 0);
        av_dict_set_int(&options, "hls_list_size", _target.window, 0);
        // One segment beyond the window stays on disk for players still reading it.
        av_dict_set_int(&options, "hls_delete_threshold", 1, 0);
        av_dict_set(&options, "hls_flags", "delete_segments+independent_segments", 0);
        av_dict_set(&options, "hls_segment_type", _target.fmp4Segments ? "fmp4" : "mpegts", 0);
        break;
    case PublishProtocol::Rtmp:
    case PublishProtocol::Srt:
        break;
    }
    return options;
}

AVStream* PublishMuxer::_AddStream(const FFCodecInfo& source, std::unique_ptr<BitstreamConversion>& conversion)
{
    AVStream* stream = avformat_new_stream(_context.get(), nullptr);
    if (!stream)
        throw std::bad_alloc();
    Check(avcodec_parameters_from_context(stream->codecpar, source.Context()), "Copying the stream description");
    conversion = std::make_unique<BitstreamConversion>(_target.ContainerName(), stream->codecpar, source.TimeBase());
    if (conversion->Converts())
        Check(avcodec_parameters_copy(stream->codecpar, conversion->Output()), "Copying the converted description");
    // The container picks its own tag for the codec.
    stream->codecpar->codec_tag = 0;
    stream->time_base = source.TimeBase();
    stream->disposition = source.disposition;
    return stream;
}

void PublishMuxer::Open(std::shared_ptr<FFAVCodec> codec)
{
    Close();
    if (!codec)
        throw std::invalid_argument("No stream description to publish");
    _target.CheckCodecs(*codec);
    _codec = std::move(codec);

    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, _target.MuxerName(), _target.address.c_str()),
          "Creating the " + std::string(_target.MuxerName()) + " muxer for " + UrlForLog(_target.url));
    _context.reset(raw);
    _context->interrupt_callback = AVIOInterruptCB{&PublishMuxer::Interrupted, this};
    _video = _AddStream(*_codec->video, _videoConversion);
    if (_codec->audio && _codec->audio->Context())
        _audio = _AddStream(*_codec->audio, _audioConversion);

    if (!_target.MuxerOpensOutput()) {
        AVDictionary* io = nullptr;
        av_dict_set(&io, "rw_timeout", kIoTimeoutUs, 0);
        // SRT in live mode drops what is still unsent when the socket closes:
        // the end of the last picture would be lost.
        if (_target.protocol == PublishProtocol::Srt)
            av_dict_set(&io, "linger", "2", 0);
        const int r = avio_open2(&_context->pb, _target.address.c_str(), AVIO_FLAG_WRITE,
                                 &_context->interrupt_callback, &io);
        av_dict_free(&io);
        Check(r, "Connecting to " + UrlForLog(_target.url));
    }
    AVDictionary* options = _MuxerOptions();
    const int r = avformat_write_header(_context.get(), &options);
    av_dict_free(&options);
    Check(r, "Starting the stream at " + UrlForLog(_target.url));
    _headerWritten = true;
    LogInfo() << "Publishing to " << UrlForLog(_target.url);
}

void PublishMuxer::Write(AVPacket* packet, FFStreamType type)
{
    AVStream* stream = type == FFStreamType::Video ? _video : _audio;
    if (!_headerWritten || !stream)
        return;
    const FFCodecInfo& source = type == FFStreamType::Video ? *_codec->video : *_codec->audio;
    BitstreamConversion& conversion = type == FFStreamType::Video ? *_videoConversion : *_audioConversion;
    av_packet_rescale_ts(packet, source.TimeBase(), stream->time_base);
    packet->stream_index = stream->index;
    packet->pos = -1;
    const int r = conversion.Convert(packet, [this](AVPacket* p) { return av_interleaved_write_frame(_context.get(), p); });
    if (r >= 0)
        return;
    // A packet the muxer turns down for its timestamps (EINVAL) is lost
    // alone; anything else means the output cannot take more.
    if (r != AVERROR(EINVAL))
        Check(r, "Sending to " + UrlForLog(_target.url));
    LogWarn() << "Packet refused by the muxer for " << UrlForLog(_target.url) << ": " << AVErrorText(r);
}

void PublishMuxer::Close()
{
    if (_context && _headerWritten) {
        // The trailer of a dead connection fails; nothing more to tell.
        const int r = av_write_trailer(_context.get());
        if (r < 0)
            LogInfo() << "Closing " << UrlForLog(_target.url) << ": " << AVErrorText(r);
    }
    _headerWritten = false;
    _video = nullptr;
    _audio = nullptr;
    _videoConversion.reset();
    _audioConversion.reset();
    _context.reset();
}

} // namespace Quillet

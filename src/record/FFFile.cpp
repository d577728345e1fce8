#include "record/FFFile.h"

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/rational.h>
}

namespace Quillet {
namespace {

// Extra bytes after the copied extra data, zero-filled, as readers over-read.
constexpr int kExtraDataSlack = 16;

std::string Ratio(int num, int den)
{
    return std::to_string(num) + "/" + std::to_string(den);
}

bool HasNoFile(const AVOutputFormat* format)
{
    return format && (format->flags & AVFMT_NOFILE);
}

} // namespace

FFFile::~FFFile()
{
    Finish();
}

int FFFile::PrepareFile(const std::string& fileName, std::shared_ptr<FFCodecInfo> stream)
{
    LogInfo() << "FFFile::PrepareFile" << ": " << fileName;
    if (!stream)
        throw std::invalid_argument("FFCodecInfo may not be null");
    if (_videoStream || _outFormatContext)
        Finish();
    const FFStreamType type = stream->GetStreamType();
    if (type != FFStreamType::Video && type != FFStreamType::Audio)
        throw std::invalid_argument("Unrecognized stream type in codec");
    std::shared_ptr<FFAVCodec> description;
    if (type == FFStreamType::Video)
        description = std::make_shared<FFAVCodec>(stream, _codec ? _codec->audio : nullptr);
    else if (_codec && _codec->video)
        description = std::make_shared<FFAVCodec>(_codec->video, stream);
    else
        throw std::invalid_argument("Audio description without a video description to join");
    return PrepareFile(fileName, std::move(description));
}

int FFFile::PrepareFile(const std::string& fileName, std::shared_ptr<FFAVCodec> codec)
{
    LogInfo() << "FFFile::PrepareFile" << ": " << fileName;
    _fileName = fileName;
    if (!codec)
        throw std::invalid_argument("FFAVCodec may not be null");
    // A failed earlier preparation may have left a context without streams.
    if (_videoStream || _outFormatContext)
        Finish();
    LogInfo() << "Preparing " << fileName;
    _codec = codec;
    if (!codec->video || !codec->video->Context())
        throw std::invalid_argument("FFAVCodec has no video description");

    const AVOutputFormat* format = av_guess_format(nullptr, fileName.c_str(), nullptr);
    if (!format)
        throw std::invalid_argument("Wrong format for av_guess_format");
    avformat_alloc_output_context2(&_outFormatContext, format, nullptr, fileName.c_str());
    if (!_outFormatContext)
        throw std::runtime_error("Error in avformat_alloc_context");
    _headerWritten = false;

    _videoStream = _NewStream(0, *codec->video, _videoCodecContext);
    _CopyVideoParameters(_videoStream, _videoCodecContext.get(), codec->video->Context());
    _PublishParameters(_videoStream, _videoCodecContext.get());

    // A camera's sound the container cannot hold (G.711 in MP4) is left
    // out rather than losing the pictures too.
    const AVCodecContext* audio = codec->audio ? codec->audio->Context() : nullptr;
    _audioLeftOut = audio && avformat_query_codec(format, audio->codec_id, FF_COMPLIANCE_NORMAL) == 0;
    if (_audioLeftOut)
        LogWarn() << "Audio codec " << avcodec_get_name(audio->codec_id) << " cannot be stored in " << format->name
                  << "; recording the pictures only";
    if (audio && !_audioLeftOut) {
        _audioStream = _NewStream(1, *codec->audio, _audioCodecContext);
        _CopyAudioParameters(_audioCodecContext.get(), codec->audio->Context());
        _PublishParameters(_audioStream, _audioCodecContext.get());
    }

    _OpenAndWriteHeader();

    LogInfo() << "Video stream timebase in destination file: "
              << Ratio(_videoStream->time_base.num, _videoStream->time_base.den);
    if (_audioStream)
        LogInfo() << "Audio stream timebase in destination file: "
                  << Ratio(_audioStream->time_base.num, _audioStream->time_base.den);
    // Nothing written yet: the first packet of each stream may start at 0.
    _lastVideoDts = AV_NOPTS_VALUE;
    _lastAudioDts = AV_NOPTS_VALUE;
    return 0;
}

AVStream* FFFile::_NewStream(int id, const FFCodecInfo& source, AVCodecContextPtr& context)
{
    AVStream* stream = avformat_new_stream(_outFormatContext, nullptr);
    if (!stream)
        throw std::runtime_error("Error in av_new_stream");
    stream->id = id;
    stream->disposition = source.disposition;
    context = MakeCodecContext();
    if (!context)
        throw std::runtime_error("Codec in stream is null");
    _CopyCommonParameters(context.get(), source);
    return stream;
}

void FFFile::_CopyCommonParameters(AVCodecContext* dst, const FFCodecInfo& source)
{
    const AVCodecContext* src = source.Context();
    dst->bits_per_raw_sample = src->bits_per_raw_sample;
    dst->chroma_sample_location = src->chroma_sample_location;
    dst->codec_id = src->codec_id;
    dst->codec_type = src->codec_type;

    // Keep the source's tag only where this container accepts it for the
    // codec; otherwise leave it to the muxer to pick its own.
    if (dst->codec_tag == 0) {
        const AVCodecTag* const* table = _outFormatContext->oformat->codec_tag;
        if (!table || av_codec_get_id(table, src->codec_tag) == dst->codec_id ||
            av_codec_get_tag(table, src->codec_id) == 0)
            dst->codec_tag = src->codec_tag;
    }

    dst->bit_rate = src->bit_rate;
    dst->rc_max_rate = src->rc_max_rate;
    dst->rc_buffer_size = src->rc_buffer_size;
    dst->field_order = src->field_order;

    if (src->extradata && src->extradata_size > 0) {
        dst->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(src->extradata_size) + kExtraDataSlack));
        if (!dst->extradata)
            throw std::bad_alloc();
        std::memcpy(dst->extradata, src->extradata, static_cast<size_t>(src->extradata_size));
        dst->extradata_size = src->extradata_size;
    }

    dst->bits_per_coded_sample = src->bits_per_coded_sample;

    // The stream's time base, not the codec's: packet timestamps are in it.
    if (source.timeBaseNum <= 0 || source.timeBaseDen <= 0)
        throw std::invalid_argument("Invalid time base in source stream: " +
                                    Ratio(source.timeBaseNum, source.timeBaseDen));
    LogInfo() << "Timebase in source stream: " << Ratio(source.timeBaseNum, source.timeBaseDen);
    LogInfo() << "Timebase in source codec: " << Ratio(src->time_base.num, src->time_base.den);
    av_reduce(&dst->time_base.num, &dst->time_base.den, source.timeBaseNum, source.timeBaseDen, INT_MAX);
    LogInfo() << "Reduced timebase: " << Ratio(dst->time_base.num, dst->time_base.den);
}

void FFFile::_CopyVideoParameters(AVStream* stream, AVCodecContext* dst, const AVCodecContext* src)
{
    dst->pix_fmt = src->pix_fmt;
    dst->width = src->width;
    dst->height = src->height;
    dst->has_b_frames = src->has_b_frames;
    _UseFrameTimeBaseIfCounted(dst, src);
    if (dst->sample_aspect_ratio.num == 0 && src->sample_aspect_ratio.num != 0) {
        dst->sample_aspect_ratio = src->sample_aspect_ratio;
        stream->sample_aspect_ratio = src->sample_aspect_ratio;
    }
}

void FFFile::_UseFrameTimeBaseIfCounted(AVCodecContext* dst, const AVCodecContext* src)
{
    // Containers without variable frame timing (AVI) count frames: every
    // tick of a time base finer than a frame becomes an empty index entry,
    // and readers take the tick rate for the frame rate. One frame per tick
    // keeps such files as the format intends.
    if (_outFormatContext->oformat->flags & AVFMT_VARIABLE_FPS)
        return;
    if (src->framerate.num <= 0 || src->framerate.den <= 0)
        return;
    const AVRational frame = av_inv_q(src->framerate);
    if (av_cmp_q(frame, dst->time_base) <= 0)
        return;
    dst->time_base = frame;
    LogInfo() << "Frame-counting container, timebase of one frame: " << Ratio(frame.num, frame.den);
}

void FFFile::_CopyAudioParameters(AVCodecContext* dst, const AVCodecContext* src)
{
    if (av_channel_layout_copy(&dst->ch_layout, &src->ch_layout) < 0)
        throw std::bad_alloc();
    dst->sample_fmt = src->sample_fmt;
    dst->sample_rate = src->sample_rate;
    dst->frame_size = src->frame_size;
    dst->audio_service_type = src->audio_service_type;
    dst->block_align = src->block_align;
    // Values some demuxers report for these codecs that muxers would take
    // as a fixed packet size.
    if (dst->codec_id == AV_CODEC_ID_MP3 && (dst->block_align == 1 || dst->block_align == 1152))
        dst->block_align = 0;
    if (dst->codec_id == AV_CODEC_ID_AC3)
        dst->block_align = 0;
}

void FFFile::_PublishParameters(AVStream* stream, const AVCodecContext* context)
{
    if (avcodec_parameters_from_context(stream->codecpar, context) < 0)
        throw std::bad_alloc();
    stream->time_base = context->time_base;
}

void FFFile::_OpenAndWriteHeader()
{
    if (!HasNoFile(_outFormatContext->oformat)) {
        // Read-write: some muxers read back what they wrote to finish the file.
        const int r = avio_open(&_outFormatContext->pb, _fileName.c_str(), AVIO_FLAG_READ_WRITE);
        LogInfo() << "avio_open: " << r;
        if (r < 0)
            throw std::runtime_error("Error in avio_open: " + std::to_string(r));
    }
    const int r = avformat_write_header(_outFormatContext, nullptr);
    LogInfo() << "av_write_header: " << r;
    if (r < 0) {
        _headerWritten = false;
        throw std::runtime_error("Error in avformat_write_header: " + std::to_string(r));
    }
    _headerWritten = true;
    av_dump_format(_outFormatContext, 0, _fileName.c_str(), 1);
}

void FFFile::WriteVideoPacket(AVPacket* packet)
{
    _WritePacket(packet, _videoStream, _codec ? _codec->video.get() : nullptr, _lastVideoDts, "Video");
}

void FFFile::WriteAudioPacket(AVPacket* packet)
{
    if (_audioLeftOut)
        return;
    _WritePacket(packet, _audioStream, _codec ? _codec->audio.get() : nullptr, _lastAudioDts, "Audio");
}

void FFFile::_WritePacket(AVPacket* packet, AVStream* stream, const FFCodecInfo* source, int64_t& lastDts,
                          const char* label)
{
    if (!packet)
        return;
    if (!stream || !source || !_headerWritten) {
        LogWarn() << label << ": no open stream to write to, packet dropped";
        return;
    }
    const AVRational srcTb = source->TimeBase();
    const AVRational dstTb = stream->time_base;

    if (packet->pts != AV_NOPTS_VALUE)
        packet->pts = av_rescale_q(packet->pts, srcTb, dstTb);
    if (packet->dts != AV_NOPTS_VALUE)
        packet->dts = av_rescale_q(packet->dts, srcTb, dstTb);
    packet->duration = av_rescale_q(packet->duration, srcTb, dstTb);
    _RepairDecodeOrder(packet, lastDts, label);
    packet->stream_index = stream->index;

    const int r = av_interleaved_write_frame(_outFormatContext, packet);
    if (r < 0) {
        LogWarn() << label << " Error in av_write_frame: " << r;
        // A packet the muxer turns down is lost alone; once the file itself
        // cannot take more bytes (disk full, file too large) every later
        // write fails the same way, so the owner has to stop recording.
        if (_outFormatContext->pb && _outFormatContext->pb->error < 0)
            throw std::runtime_error(std::string(label) + " Error in av_write_frame: " + std::to_string(r));
    }
}

void FFFile::_RepairDecodeOrder(AVPacket* packet, int64_t& lastDts, const char* label)
{
    // Muxers refuse decode times that repeat or go back; cameras send such.
    // Only the decode time has to increase: with B-frames the presentation
    // times jump back and forth by design, so they are left alone unless the
    // repair pushes the decode time past them. Kept in destination ticks, as
    // a round trip through a coarser source time base would round the extra
    // tick away again. Without a decode time the muxer derives one from the
    // presentation time.
    if (packet->dts == AV_NOPTS_VALUE)
        return;
    if (lastDts == AV_NOPTS_VALUE || lastDts < packet->dts) {
        lastDts = packet->dts;
        return;
    }
    LogError() << label << ": New PTS before last: " << lastDts << " >= " << packet->dts;
    packet->dts = ++lastDts;
    if (packet->pts != AV_NOPTS_VALUE && packet->pts < packet->dts)
        packet->pts = packet->dts;
    LogError() << "\t... PTSes changed to: " << lastDts << ", " << packet->pts;
}

void FFFile::_CloseStreamCodec(AVCodecContextPtr& context)
{
    if (context) {
        LogInfo() << "avcodec_close";
        context.reset(); // frees under the codec lock
    } else {
        LogWarn() << "No codec in stream";
    }
}

void FFFile::Finish()
{
    LogInfo() << "FFFile::Finish";
    if (!_outFormatContext) {
        LogWarn() << "_outFormatContext is null";
    } else if (_headerWritten) {
        const int r = av_write_trailer(_outFormatContext);
        LogInfo() << "av_write_trailer: " << r;
    }
    LogInfo() << "Closing video stream";
    _CloseStreamCodec(_videoCodecContext);
    LogInfo() << "Closing audio stream";
    _CloseStreamCodec(_audioCodecContext);
    _videoStream = nullptr;
    _audioStream = nullptr;

    if (!_outFormatContext || !_outFormatContext->oformat || HasNoFile(_outFormatContext->oformat)) {
        LogInfo() << "Not closing file via avio_close";
    } else {
        const int r = avio_closep(&_outFormatContext->pb);
        LogInfo() << "avoi_close: " << r;
    }
    if (_outFormatContext)
        avformat_free_context(_outFormatContext);
    _outFormatContext = nullptr;
    _headerWritten = false;
}

} // namespace Quillet

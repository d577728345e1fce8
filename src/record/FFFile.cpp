#include "record/FFFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <stdexcept>
#include <cstdio>
#include <string>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
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

// Numbered names a rename tries before giving up.
constexpr int kMostNumberedNames = 100000;

// Moves `from` to `to`; with `keepExisting` fails with EEXIST rather than
// replace a file, in one step where the file system can.
bool MoveFile(const std::string& from, const std::string& to, bool keepExisting)
{
    if (!keepExisting)
        return std::rename(from.c_str(), to.c_str()) == 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the exclusive rename: a link cannot replace.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool HasNoFile(const AVOutputFormat* format)
{
    return format && (format->flags & AVFMT_NOFILE);
}

bool IsNamed(const AVOutputFormat* format, const char* name)
{
    return std::string(format->name) == name;
}

bool IsMp4Family(const AVOutputFormat* format)
{
    return IsNamed(format, "mp4") || IsNamed(format, "mov") || IsNamed(format, "ipod");
}

bool IsMatroska(const AVOutputFormat* format)
{
    return IsNamed(format, "matroska") || IsNamed(format, "webm");
}

// Whether the container can hold the sound codec: FFmpeg's own answer, less
// the codecs its MOV writer lists for every MOV-family container but takes
// only into MP4 files.
bool HoldsSound(const AVOutputFormat* format, AVCodecID codec)
{
    if (avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 0)
        return false;
    const bool mp4Only = codec == AV_CODEC_ID_OPUS || codec == AV_CODEC_ID_FLAC || codec == AV_CODEC_ID_TRUEHD;
    return !(mp4Only && IsMp4Family(format) && !IsNamed(format, "mp4"));
}

// Containers whose files are not pushed on per fragment go out this often:
// what a killed process loses is at most this plus what the muxer still
// interleaves, for four writes a second.
constexpr int64_t kPlainFlushUs = 250000;

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
    _createdFile.clear();
    if (!codec)
        throw std::invalid_argument("FFAVCodec may not be null");
    // A failed earlier preparation may have left a context without streams.
    if (_videoStream || _outFormatContext)
        Finish();
    LogInfo() << "Preparing " << fileName;
    _codec = codec;
    if (!codec->video || !codec->video->Context())
        throw std::invalid_argument("FFAVCodec has no video description");

    const AVOutputFormat* format = _ChooseFormat(fileName);
    avformat_alloc_output_context2(&_outFormatContext, format, nullptr, fileName.c_str());
    if (!_outFormatContext)
        throw std::runtime_error("Error in avformat_alloc_context");
    _headerWritten = false;

    _videoStream = _NewStream(0, *codec->video, _videoCodecContext);
    _CopyVideoParameters(_videoStream, _videoCodecContext.get(), codec->video->Context());
    _PublishParameters(_videoStream, _videoCodecContext.get());
    _videoConversion = _ConversionInto(_videoStream);

    // Sound the container cannot hold (a camera's G.711 in MP4, Opus in
    // MOV) is left out rather than losing the pictures too.
    const AVCodecContext* audio = codec->audio ? codec->audio->Context() : nullptr;
    _audioLeftOut = audio && !HoldsSound(format, audio->codec_id);
    if (_audioLeftOut)
        LogWarn() << "Audio codec " << avcodec_get_name(audio->codec_id) << " cannot be stored in " << format->name
                  << "; recording the pictures only";
    if (audio && !_audioLeftOut) {
        _audioStream = _NewStream(1, *codec->audio, _audioCodecContext);
        _CopyAudioParameters(_audioCodecContext.get(), codec->audio->Context());
        _PublishParameters(_audioStream, _audioCodecContext.get());
        _audioConversion = _ConversionInto(_audioStream);
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

const AVOutputFormat* FFFile::_ChooseFormat(const std::string& fileName)
{
    const AVOutputFormat* format = nullptr;
    if (!_layout.format.empty())
        format = av_guess_format(_layout.format.c_str(), nullptr, nullptr);
    else
        format = av_guess_format(nullptr, fileName.c_str(), nullptr);
    // A name without an extension says nothing about the container.
    const auto slash = fileName.find_last_of('/');
    const std::string leaf = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    if (!format && leaf.find('.') == std::string::npos)
        format = av_guess_format("mp4", nullptr, nullptr);
    if (!format)
        throw std::invalid_argument("Wrong format for av_guess_format");
    _formatName = format->name;
    _fragmented = !HasNoFile(format) && (IsMatroska(format) || (IsMp4Family(format) && !_layout.classicMp4));
    return format;
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

std::unique_ptr<BitstreamConversion> FFFile::_ConversionInto(AVStream* stream)
{
    auto conversion = std::make_unique<BitstreamConversion>(_formatName, stream->codecpar, stream->time_base);
    if (conversion->Converts()) {
        LogInfo() << "Stream " << stream->index << " goes into " << _formatName << " through "
                  << conversion->Filters();
        const uint32_t tag = stream->codecpar->codec_tag;
        if (avcodec_parameters_copy(stream->codecpar, conversion->Output()) < 0)
            throw std::bad_alloc();
        stream->codecpar->codec_tag = tag;
    }
    return conversion;
}

bool FFFile::_HeaderDescribesEveryStream() const
{
    // A conversion may learn a stream's configuration only from its first
    // packet (ADTS sound); so does a muxer for pictures without extra data.
    for (const AVStream* stream : {_videoStream, _audioStream})
        if (stream && stream->codecpar->extradata_size <= 0)
            return false;
    return true;
}

void FFFile::_OpenAndWriteHeader()
{
    if (!HasNoFile(_outFormatContext->oformat)) {
        _output = _layout.keepExisting ? FileOutput::CreateNew(_fileName) : std::make_unique<FileOutput>(_fileName);
        _fileName = _createdFile = _output->Path();
        _outFormatContext->pb = _output->Context();
        _outFormatContext->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    AVDictionary* options = nullptr;
    const AVOutputFormat* format = _outFormatContext->oformat;
    if (IsMp4Family(format) && !_layout.classicMp4) {
        // A fragment starts at every key picture and lasts at most a second;
        // the index at the end still makes a finished file seekable.
        // Without extra data a stream's description comes from its first
        // packet, so the index waits for the first fragment.
        const bool described = _HeaderDescribesEveryStream();
        av_dict_set(&options, "movflags",
                    described ? "+frag_keyframe+empty_moov+default_base_moof"
                              : "+frag_keyframe+empty_moov+delay_moov+default_base_moof",
                    0);
        av_dict_set(&options, "frag_duration", "1000000", 0);
    } else if (IsMatroska(format)) {
        av_dict_set(&options, "cluster_time_limit", "1000", 0);
    }
    const int r = avformat_write_header(_outFormatContext, &options);
    av_dict_free(&options);
    LogInfo() << "av_write_header: " << r;
    if (r < 0) {
        _headerWritten = false;
        throw std::runtime_error("Error in avformat_write_header: " + std::to_string(r));
    }
    _headerWritten = true;
    _lastCommitUs = _lastSyncUs = av_gettime_relative();
    _PushToDisk(true);
    av_dump_format(_outFormatContext, 0, _fileName.c_str(), 1);
}

void FFFile::_PushToDisk(bool force)
{
    if (!_output)
        return;
    const int64_t now = av_gettime_relative();
    if (force || _fragmented || now - _lastCommitUs >= kPlainFlushUs) {
        _output->Commit();
        _lastCommitUs = now;
    }
    if (_layout.syncSeconds > 0 && now - _lastSyncUs >= static_cast<int64_t>(_layout.syncSeconds * 1e6)) {
        _output->Sync();
        _lastSyncUs = now;
    }
}

void FFFile::Rename(const std::string& fileName, bool keepExisting)
{
    if (fileName == _fileName)
        return;
    std::string target = fileName;
    for (int n = 2; !MoveFile(_fileName, target, keepExisting); ++n) {
        if (errno != EEXIST || n > kMostNumberedNames)
            throw std::runtime_error("Cannot rename " + _fileName + " to " + fileName + ": " + std::strerror(errno));
        target = FileOutput::NumberedName(fileName, n);
    }
    _fileName = target;
    if (!_createdFile.empty())
        _createdFile = target;
    if (_output)
        _output->Rename(target);
}

void FFFile::Discard()
{
    Finish();
    if (!_createdFile.empty())
        std::remove(_createdFile.c_str());
    _createdFile.clear();
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

    BitstreamConversion* conversion = stream == _videoStream ? _videoConversion.get() : _audioConversion.get();
    auto write = [this](AVPacket* p) { return av_interleaved_write_frame(_outFormatContext, p); };
    const int r = conversion ? conversion->Convert(packet, write) : write(packet);
    if (r >= 0)
        _PushToDisk(false);
    if (r < 0 || (_output && _output->Error())) {
        LogWarn() << label << " Error in av_write_frame: " << r;
        // A packet the muxer turns down is lost alone; once the file itself
        // cannot take more bytes (disk full, file too large) every later
        // write fails the same way, so the owner has to stop recording.
        if (_output && _output->Error())
            throw std::runtime_error(std::string(label) + " write failed: " +
                                     std::strerror(_output->Error()));
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

void FFFile::_DrainConversions()
{
    auto write = [this](AVPacket* p) { return av_interleaved_write_frame(_outFormatContext, p); };
    for (auto* conversion : {_videoConversion.get(), _audioConversion.get()})
        if (conversion && conversion->Drain(write) < 0)
            LogWarn() << "Packets held by the bitstream conversion " << conversion->Filters() << " were lost";
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
        _DrainConversions();
        const int r = av_write_trailer(_outFormatContext);
        LogInfo() << "av_write_trailer: " << r;
    }
    LogInfo() << "Closing video stream";
    _CloseStreamCodec(_videoCodecContext);
    LogInfo() << "Closing audio stream";
    _CloseStreamCodec(_audioCodecContext);
    _videoStream = nullptr;
    _audioStream = nullptr;
    _videoConversion.reset();
    _audioConversion.reset();

    if (_output) {
        // Flushed, cut back to the last complete fragment after a failed
        // write, and put on the disk.
        _output->Close();
        _output.reset();
        if (_outFormatContext)
            _outFormatContext->pb = nullptr;
    }
    if (_outFormatContext)
        avformat_free_context(_outFormatContext);
    _outFormatContext = nullptr;
    _headerWritten = false;
}

} // namespace Quillet

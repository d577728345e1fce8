#pragma once
// Writes one container file from compressed packets, without re-encoding.
// The output streams copy the source streams of an FFAVCodec description;
// the container format follows the file name's extension. Files survive a
// crash: MP4/MOV are written as fragments (one per key picture, at most about
// a second), Matroska as a cluster per key picture, and each complete
// fragment goes to the OS at once; other containers go out every second.
// Not thread-safe: the recording sink serialises every call.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/BitstreamConversion.h"
#include "core/FFAVCodec.h"
#include "core/FFAVPtr.h"
#include "events/FFMessageClient.h"
#include "record/FileOutput.h"

namespace Quillet {

// How a file is laid out on disk.
struct FileLayout {
    // MP4/MOV with one index written at the end (unreadable until finished)
    // instead of fragments.
    bool classicMp4 = false;
    // Seconds between fsyncs while writing; 0: only when the file closes.
    double syncSeconds = 10.0;
    // Container short name (as FFmpeg knows it); empty: from the extension,
    // and MP4 for a name without one.
    std::string format;
    // Never write over a file: when the name is taken on disk, the file gets
    // the first free numbered name (FileOutput::CreateNew) and GetFileName()
    // tells it. Otherwise a file of that name is replaced.
    bool keepExisting = false;
};

class FFFile : public FFMessageClient {
public:
    FFFile() = default;
    explicit FFFile(FileLayout layout) : _layout(std::move(layout)) {}
    ~FFFile() override;
    FFFile(const FFFile&) = delete;
    FFFile& operator=(const FFFile&) = delete;

    // Creates the file and writes its header; 0 when ready, failures throw.
    int PrepareFile(const std::string& fileName, std::shared_ptr<FFAVCodec> codec);
    // Same, with one stream description replacing its counterpart in the
    // description held from the previous file. A writer holding none accepts
    // a video description alone (the file then has no audio).
    int PrepareFile(const std::string& fileName, std::shared_ptr<FFCodecInfo> stream);

    // Packets carry pts/dts/duration in the source stream's time base and the
    // caller's stream index (0 video, 1 audio). The packet's reference is
    // handed to the muxer; its fields are rescaled in place. Packets the
    // container needs in another bitstream form (ADTS sound into MP4, length-
    // prefixed H.264 into MPEG-TS) are converted on the way. Decode times
    // that do not increase are moved one tick past the last and logged.
    void WriteVideoPacket(AVPacket* packet);
    void WriteAudioPacket(AVPacket* packet);

    // Trailer, codecs, file; safe at any time and repeatedly.
    void Finish();

    bool IsOpen() const { return _videoStream != nullptr; }
    // Whether a video packet is in the open file (a file without one does not play).
    bool HasVideo() const { return _lastVideoDts != AV_NOPTS_VALUE; }
    // Moves the file on disk (only before anything but the header is in it);
    // with `keepExisting` a name taken on disk gets the first free numbered one.
    void Rename(const std::string& fileName, bool keepExisting);
    // Finishes and deletes the file this writer created, if it created one
    // (a file that failed to take its header is no recording).
    void Discard();
    // Bytes in the file so far; 0 when none is open.
    int64_t BytesWritten() const { return _output ? _output->Size() : 0; }
    // The container short name, once prepared.
    const std::string& FormatName() const { return _formatName; }
    const std::string& GetFileName() const { return _fileName; }
    std::shared_ptr<FFAVCodec> GetCodec() const { return _codec; }

private:
    AVStream* _NewStream(int id, const FFCodecInfo& source, AVCodecContextPtr& context);
    void _CopyCommonParameters(AVCodecContext* dst, const FFCodecInfo& source);
    void _CopyVideoParameters(AVStream* stream, AVCodecContext* dst, const AVCodecContext* src);
    void _UseFrameTimeBaseIfCounted(AVCodecContext* dst, const AVCodecContext* src);
    void _CopyAudioParameters(AVCodecContext* dst, const AVCodecContext* src);
    void _PublishParameters(AVStream* stream, const AVCodecContext* context);
    std::unique_ptr<BitstreamConversion> _ConversionInto(AVStream* stream);
    bool _HeaderDescribesEveryStream() const;
    void _DrainConversions();
    void _OpenAndWriteHeader();
    void _WritePacket(AVPacket* packet, AVStream* stream, const FFCodecInfo* source, int64_t& lastDts,
                      const char* label);
    void _RepairDecodeOrder(AVPacket* packet, int64_t& lastDts, const char* label);
    void _CloseStreamCodec(AVCodecContextPtr& context);
    const AVOutputFormat* _ChooseFormat(const std::string& fileName);
    void _PushToDisk(bool force);

    AVStream* _videoStream = nullptr;
    AVStream* _audioStream = nullptr;
    bool _audioLeftOut = false; // the container cannot hold the audio codec
    std::shared_ptr<FFAVCodec> _codec;
    AVFormatContext* _outFormatContext = nullptr;
    // Last decode time written per stream, in the destination time base;
    // AV_NOPTS_VALUE until the stream's first packet.
    int64_t _lastAudioDts = AV_NOPTS_VALUE;
    int64_t _lastVideoDts = AV_NOPTS_VALUE;
    bool _headerWritten = false;
    std::string _fileName = "NoFile";
    // FFmpeg 5.1 streams carry parameters only; these contexts hold the copied
    // description of each output stream until the file is finished.
    AVCodecContextPtr _videoCodecContext;
    AVCodecContextPtr _audioCodecContext;
    // The bitstream conversion of each stream into this container (may
    // convert nothing); null while no file is open.
    std::unique_ptr<BitstreamConversion> _videoConversion;
    std::unique_ptr<BitstreamConversion> _audioConversion;
    FileLayout _layout;
    std::string _formatName;
    // Whether the muxer hands over only complete fragments (then every
    // packet may be pushed on at once).
    bool _fragmented = false;
    std::unique_ptr<FileOutput> _output;
    // The file this writer created last, until Discard; "" when none.
    std::string _createdFile;
    int64_t _lastCommitUs = 0;
    int64_t _lastSyncUs = 0;
};

} // namespace Quillet

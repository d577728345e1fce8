#pragma once
// The file/URL source: opens a media file or network URL with the demuxer and,
// on a read thread of its own, pushes its audio and video packets into the
// graph as fast as the destinations accept them.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/FFAVPtr.h"
#include "core/FFCodecInfo.h"
#include "core/FFThread.h"
#include "source/IFFSource.h"

namespace Quillet {

class FFSource : public IFFSource {
public:
    FFSource() = default;
    // Stops a read thread that is still running, then closes the source.
    ~FFSource() override;
    FFSource(const FFSource&) = delete;
    FFSource& operator=(const FFSource&) = delete;

    std::shared_ptr<FFData> GetMetaInfo() override;
    bool OpenSource(const std::string& url) override;
    // File sources take no settings; the call is logged and ignored.
    void SetSourceSettings(std::shared_ptr<FFSourceSettings> settings) override;
    void CloseSource() override;
    void StartReadThread() override;
    void StopReadThread() override;
    bool IsReading() override;
    bool IsOpen() override;
    int Width() override;
    int Height() override;
    int RenderWidth() override;
    int RenderHeight() override;
    bool HasAudio() override;
    bool GetAudioFormat(int* rate, int* bits, int* channels) override;
    double GetDuration() override;
    void Seek(double seconds) override;

    void GetDimensions(int* width, int* height);

private:
    void _ReadFramesFromSource();
    void _RunReadLoop();
    std::unique_ptr<FFSourceCommand> _TakeCommand();
    void _PutBack(std::unique_ptr<FFSourceCommand> command);
    void _TakeUpSeek(std::unique_ptr<FFSourceCommand> command);
    bool _FirstDestinationAcceptsSeek();
    bool _SeekQueued();
    int _ReadFrame(bool lastReadOk);
    void _PushReadPacket(AVPacket& packet);
    void _PushPacket(const std::shared_ptr<FFData>& record);
    bool _MayPush();
    void _SeekTo(double seconds);
    void _SearchDuration();
    bool _MediaReachesTime(int64_t micros);
    int64_t _FirstPacketPosition();
    void _RewindAfterSearch(int64_t firstPacketPos);
    bool _LooksUntrustworthy(const AVStream* videoStream) const;
    AVCodecContextPtr _MakeStreamContext(const AVStream* stream) const;

    std::shared_ptr<FFCodecInfo> _GetVideoCodecInfo();
    std::shared_ptr<FFCodecInfo> _GetAudioCodecInfo();
    AVStream* _GetVideoStream();
    AVCodecContext* _GetVideoCodecContext();
    AVStream* _GetAudioStream();
    AVCodecContext* _GetAudioCodecContext();
    double _RenderAspect();

    AVInputContextPtr _srcFormatContext;
    int _videoStreamIndex = -1;
    int _audioStreamIndex = -1;
    // The demuxer's streams carry only parameters; these hold the decoder
    // description of the selected streams for as long as the source is open.
    AVCodecContextPtr _videoCodecContext;
    AVCodecContextPtr _audioCodecContext;
    thread<FFSource> _readThread;
    std::atomic<bool> _running{false};
    // Reading or seeking may change the demuxer's stream list and parameters;
    // descriptions built on other threads look at them under this lock. Never
    // held while pushing.
    std::recursive_mutex _demuxLock;
    std::recursive_mutex _commandLock;
    std::recursive_mutex _pushLock;
    bool _pushEnabled = true;
    double _searchedDuration = -1.0;
    std::deque<std::unique_ptr<FFSourceCommand>> _commands;
};

} // namespace Quillet

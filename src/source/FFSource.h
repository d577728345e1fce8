#pragma once
// The file/URL source: opens a media file or network URL with the demuxer and,
// on a read thread of its own, pushes its audio and video packets into the
// graph as fast as the destinations accept them.
//
// Threads: the engine opens, closes, starts and stops the source under its
// own lock; the read thread reads, seeks and pushes. Every blocking demuxer
// call (open, stream search, duration search, read, seek) polls an interrupt
// callback that ends it when the shared SourceInterrupt fires during an open
// (any thread), and, for network URLs, when StopReadThread asks the reader to
// stop or when the network timeout passes (a local file's read finishes, so
// that a restart goes on where the stop left it; a network read cut short is
// taken up again through a ResumePoint). The read thread never polls: waiting
// for room downstream, and idle at the end of the input, it sleeps on the
// node's room signal, which the destinations ring when they take a record or
// are resumed, and Seek and StopReadThread ring as they queue a command or
// stop. _demuxLock guards the demuxer between the reader
// and stream descriptions built on other threads; _commandLock the command
// queue; _pushLock the push switch. Local paths that are not regular files
// (FIFOs, devices) are refused before the demuxer could block on them.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/FFAVPtr.h"
#include "core/FFCodecInfo.h"
#include "core/FFThread.h"
#include "core/StopSignal.h"
#include "source/IFFSource.h"
#include "source/MemoryInput.h"
#include "source/OpenFailure.h"
#include "source/ResumePoint.h"
#include "source/SourceInterrupt.h"

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
    // Opens bytes held in memory as if they were a file.
    bool OpenMemory(std::vector<uint8_t> bytes);
    void SetInterrupt(std::shared_ptr<SourceInterrupt> interrupt, double networkTimeoutSeconds) override;
    OpenFailure LastOpenFailure() const override;
    // Reads and pushes one packet on the caller's thread (the read thread
    // must not run); the demuxer's result, negative at the end.
    int ReadNextPacket();
    // File sources take no settings; the call is logged and ignored.
    void SetSourceSettings(std::shared_ptr<FFSourceSettings> settings) override;
    void CloseSource() override;
    void StartReadThread() override;
    void RequestStop() override;
    bool StopReadThread() override;
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
    // The open, on the engine's thread (under the engine's lock).
    bool _Open(const std::string& url);
    bool _OpenAndSearch(const std::string& url);
    int _OpenInput(const std::string& url);
    bool _RefuseOpen(OpenFailure failure, const std::string& why);
    static bool _HasDecoder(const AVCodecContext* context);
    static int _InterruptCallback(void* opaque);
    bool _ShouldInterrupt();
    void _ArmDeadline();
    bool _Interrupted() const;
    OpenFailure _FailureFor(int averror) const;
    void _ReadFramesFromSource();
    void _RunReadLoop();
    std::unique_ptr<FFSourceCommand> _TakeCommand();
    void _PutBack(std::unique_ptr<FFSourceCommand> command);
    // True when the demuxer moved (false: the seek waits for downstream).
    bool _TakeUpSeek(std::unique_ptr<FFSourceCommand> command);
    bool _FirstDestinationAcceptsSeek();
    bool _SeekQueued();
    // Sleeps until a seek is queued or a stop; with `retryLater` at most a
    // short while (a network input tried again).
    void _WaitForCommand(bool retryLater);
    int _ReadFrame(bool lastReadOk);
    void _PushReadPacket(AVPacket& packet);
    // False when the record was dropped, stale behind a queued seek.
    bool _PushPacket(const std::shared_ptr<FFData>& record);
    bool _MayPush();
    void _SeekTo(double seconds);
    // True when a stop cut the read just made short (network inputs only).
    bool _ReadCutByStop() const;
    void _ResumeAfterCut();
    void _SearchDuration();
    bool _MediaReachesTime(int64_t micros);
    int64_t _FirstPacketPosition();
    void _RewindAfterSearch(int64_t firstPacketPos);
    bool _LooksUntrustworthy(const AVStream* videoStream) const;
    AVCodecContextPtr _MakeStreamContext(const AVStream* stream) const;

    // Called with `_demuxLock` held.
    std::shared_ptr<FFCodecInfo> _GetVideoCodecInfo();
    std::shared_ptr<FFCodecInfo> _GetAudioCodecInfo();
    // The selected streams and their opened contexts, or null (logged under
    // the getter's name) while the source is not open.
    AVStream* _StreamAt(int index, const char* getter);
    AVCodecContext* _OpenedContext(const AVCodecContextPtr& context, const char* getter);
    AVStream* _GetVideoStream();
    AVCodecContext* _GetVideoCodecContext();
    AVStream* _GetAudioStream();
    AVCodecContext* _GetAudioCodecContext();
    double _RenderAspect();

    // Declared before the demuxer so that it outlives it.
    std::unique_ptr<MemoryInput> _memoryInput;
    AVInputContextPtr _srcFormatContext;
    // Set before the open (engine thread) and left alone while it runs.
    std::shared_ptr<SourceInterrupt> _interrupt;
    double _networkTimeout = 10.0;
    bool _network = false;
    OpenFailure _failure = OpenFailure::None;
    // Polled by the interrupt callback on whichever thread blocks in the demuxer.
    std::atomic<int64_t> _deadline{0};
    std::atomic<bool> _timedOut{false};
    std::atomic<bool> _opening{false};
    int _videoStreamIndex = -1;
    int _audioStreamIndex = -1;
    // The demuxer's streams carry only parameters; these hold the decoder
    // description of the selected streams for as long as the source is open.
    AVCodecContextPtr _videoCodecContext;
    AVCodecContextPtr _audioCodecContext;
    thread<FFSource> _readThread{"file source read"};
    std::atomic<bool> _running{false};
    // Raised by StopReadThread until the reader has ended: it ends the
    // demuxer's blocking calls (through the interrupt callback); the read
    // thread's waits end on the room signal StopReadThread rings with it.
    StopSignal _stopSignal;
    // Reading or seeking may change the demuxer's stream list and parameters;
    // descriptions built on other threads look at them under this lock. Never
    // held while pushing.
    std::recursive_mutex _demuxLock;
    // `_commandLock` guards `_commands` (seeks queued for the read thread);
    // `_pushLock` guards `_pushEnabled`. Where both are held, `_pushLock` is
    // taken first.
    std::recursive_mutex _commandLock;
    std::recursive_mutex _pushLock;
    bool _pushEnabled = true;
    std::deque<std::unique_ptr<FFSourceCommand>> _commands;
    // Read thread only (and the open, before any reader starts): a stop cut a
    // network read short, so the next reader resumes at `_resume` first.
    bool _cutShort = false;
    ResumePoint _resume;
    // The duration search's answer; written during the open, before the read
    // thread starts.
    double _searchedDuration = -1.0;
};

} // namespace Quillet

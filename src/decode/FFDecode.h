#pragma once
// The decoder node at the end of the playback chain. Records arrive on the
// source's thread and are only queued; pictures and sound are decoded on
// demand on the reading thread. The node also works off seeks: it discards
// stale data, flushes the codecs, drops pictures before the target and, while
// paused, caches what it decoded so scrubbing needs no second decode.
// FFDecodeQueue.cpp holds the node side (queues, settings, state asked
// about), FFDecode.cpp the codecs and the picture side, FFDecodeAudio.cpp the
// sound side, FFDecodeLive.cpp the live-reading rule, FFDecodeSeek.cpp and
// DecodeSeek the state of a seek being worked off.
//
// Threads: FFProcess and GetStatus come from the source's read thread, Flush
// from it or from the engine; every other operation from the engine: the
// picture side (ReadVideo and the rest) under its `_mutex` on the
// application's reading thread, ReadAudio without it on the host's audio
// thread, so a sound read goes on while a picture decodes. `_lock` guards the
// queues, the stream descriptions, the pending seek, the settings and the
// flags marked below; a read releases it while a codec decodes or a picture
// is converted, so the opened decoders, frames and converters belong to
// their reading side alone: the video ones to the picture side (serialised
// by the engine's `_mutex`), the sound ones (audio context, frame, resampler,
// the first-block flag) to the sound side, serialised by `_soundSide`, which
// ReadAudio holds throughout and Flush takes before it destroys the sound
// codec. Others only ask the sound side to restart (RestartAudio); it does so
// on its next step. Recursive `_lock`: the read path's helpers lock it again.
// Lock order: engine `_mutex` -> `_soundSide` -> `_lock` -> FFFrame::lock ->
// codec lock. Events are raised with neither `_soundSide` nor `_lock` held.
//
// A live source never waits for the reader (see LiveBacklog.h): the node
// side gives up queued pictures by the live-reading rule, the reading side
// skips pictures it has no time to show; both count them as missed, and the
// reading thread raises one missed-pictures event per drop (at most one a
// second), outside `_lock`.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/FFAVPtr.h"
#include "core/FFCodecInfo.h"
#include "core/FFControlInfo.h"
#include "core/FFData.h"
#include "core/FFFrame.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "decode/AudioBuffers.h"
#include "decode/CaptureTimes.h"
#include "decode/DecodeSeek.h"
#include "decode/DecoderThreads.h"
#include "decode/FFCLIFrame.h"
#include "decode/FFColorSpace.h"
#include "decode/FFPCMConvert.h"
#include "decode/LiveBacklog.h"
#include "decode/PictureTarget.h"
#include "events/FFMessageClient.h"

namespace Quillet {

class FFDecode : public FFDestNode<FFData>, public FFMessageClient {
public:
    // Queue bounds of a file source: producers are told Full from this many
    // queued video records; past the overflow marks a key packet empties the
    // queue. A live source follows its live-reading rule instead.
    static constexpr size_t kVideoQueueFull = 51;
    static constexpr size_t kVideoOverflow = 60;
    static constexpr size_t kAudioOverflow = 600;

    FFDecode();
    ~FFDecode() override;
    FFDecode(const FFDecode&) = delete;
    FFDecode& operator=(const FFDecode&) = delete;

    // Node side (source thread). Always answers Ready.
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    // Ready while fewer than 51 video records wait, else Full.
    FFStatus GetStatus() override;
    // Drops everything, including both codecs.
    void Flush() override;

    // Called after every record queued or handled (source thread, or the
    // remote writer's thread), so a reader that waits for a picture wakes on
    // the record that may complete one. Any thread; `_noticeLock` guards it,
    // and is never held with `_lock` (the notice runs after `_lock` is
    // released, and must not call the decoder).
    void SetArrivalNotice(std::function<void()> notice);

    // Pixel format (AVPixelFormat number) the pictures are converted to.
    void SetColorSpace(int pixelFormat);
    // The size pictures are handed out at (0 x 0: the decoded size; one side
    // 0 follows the other; both: fit inside, see image/PictureSize.h). Any
    // thread, under `_lock`; applies from the next picture converted.
    void SetPictureSize(int width, int height);
    // Mirror of the engine's seek optimisation setting.
    void SetOptimizeSeek(bool optimize);
    // Decoding threads (0 automatic, 1 the reading thread alone) and whether
    // the source is live; both apply from the next opened video decoder.
    void SetDecodingThreads(int threads);
    void SetLiveSource(bool live);
    DecoderThreads GetDecodingThreads() const;
    // How a live source's pictures are read when the reader falls behind
    // (NotLive for files); applies from the next record.
    void SetLiveReading(LiveReadingRule rule);
    LiveReadingRule GetLiveReading() const;
    // Pictures of a live source given up or skipped since the last reset.
    uint64_t MissedPictures() const { return _missedPictures.load(); }
    void ResetMissedPictures();
    // The shortest time between two missed-pictures events.
    static constexpr std::chrono::seconds kMissedEventInterval{1};

    // Next converted picture: size > 0 with the picture, 0 when none is
    // ready, -1 once when the stream has ended; status Seeking (6) while a
    // seek is pending. The picture object is reused by the next read.
    // With a target, a picture of the running stream is converted straight
    // into the target's storage; one sought or served from the scrubbing
    // cache is handed out from the decoder's own picture, to be copied once.
    // Throws FFError / std::logic_error on a missing or unknown codec.
    FFCLIFrame ReadVideo(PictureTarget* target = nullptr);
    int _ReadVideoFrame(std::shared_ptr<FFBufferFrame>& out);

    // Drops queued data and the pending seek, flushes the codecs, keeps the
    // codec descriptions.
    void Continue();

    // Audio side (reading thread).
    void EnableAudio(bool enable);
    // Whether the application reads sound at all (the engine has a host for
    // it). A running seek waits for the sound read to end it; with nobody
    // reading, it ends with its picture.
    void SetAudioReader(bool present);
    // Fills `buffers` in order with 16-bit interleaved PCM and returns those
    // filled; a buffer whose size differs from the block is resized. `*time`
    // gets the media time of the last block copied (unchanged when none).
    AudioBufferList ReadAudio(AudioBufferList buffers, double* time);

    // State the engine asks about.
    bool HasVideoCodec() const;
    // True once a video codec is open or the next queued video record is a
    // stream description, i.e. a seek can be worked off.
    bool IsReadyToSeek() const;
    bool IsSeekPending() const;
    // Target time of the pending seek in seconds, or -1.0.
    double GetSeekTime() const;
    size_t VideoQueueSize() const;
    size_t AudioQueueSize() const;

private:
    // FFProcess without the arrival notice.
    FFStatus QueueRecord(std::shared_ptr<FFData> record);
    // Flush and Continue under their locks; the callers then ring the room
    // signal (FFNode.h) with no lock held, as the reading side does each time
    // it takes a video record: a source held back by the full queue pushes again.
    void _FlushLocked();
    void _ContinueLocked();
    std::mutex _noticeLock;
    std::function<void()> _arrivalNotice;

    enum class Picture { None, Delivered, Dropped };

    // Queue bookkeeping of the node side; called with `_lock` held.
    void ClearKeepingCodec(std::deque<std::shared_ptr<FFData>>& queue);
    void ApplyOverflowRule(std::deque<std::shared_ptr<FFData>>& queue, const FFData& arriving);
    void OnSeekMarker(const std::shared_ptr<FFSeekInfo>& marker);
    void TrimLiveBacklog(const FFData& arriving);
    void CountMissed(uint64_t pictures);
    // Reading side: whether a decoded picture is skipped because a newer one
    // waits (Newest), and the event for what was missed.
    bool SkipForNewerPicture();
    void ReportMissedPictures();

    // Empty a codec of what it holds; called with `_lock` held.
    void FlushVideoDecoder();
    void FlushAudioDecoder();
    // A codec starting over (flush, seek, new description, reconnection):
    // flushed, the next picture or block marked first, no picture time to
    // follow on from. Called with `_lock` held. RestartAudio only asks: the
    // sound side applies it (ApplyAudioRestart, with `_soundSide` held too).
    void RestartVideo();
    void RestartAudio();
    void RestartDecoders();
    void ApplyAudioRestart();
    // ReadAudio's work, with `_soundSide` held.
    AudioBufferList FillAudio(AudioBufferList buffers, double* time);
    // Gives up a video stream whose pictures cannot be converted: reports
    // StreamRefused and drops its packets from then on, audio goes on.
    void RefuseVideo();
    void SendVideoPacket(const FFPacket& packet);
    Picture DrainVideo(std::shared_ptr<FFBufferFrame>& out);
    // One step of taking the pictures the codec still holds at the end of its
    // input: the picture's size, kStepAgain when a picture was dropped or
    // more wait (step again), 0 once the codec holds none.
    static constexpr int kStepAgain = -2;
    int DrainStep(std::shared_ptr<FFBufferFrame>& out);
    Picture ReceiveVideo(std::shared_ptr<FFBufferFrame>& out);
    Picture DeliverPicture(std::shared_ptr<FFBufferFrame>& out);
    // `seen` receives the seek the picture was judged against (null: none).
    bool _CacheOrDropBeforeTarget(double t, const AVFrame* picture, std::shared_ptr<FFSeekInfo>& seen);
    std::shared_ptr<FFBufferFrame> _ConvertCached(const DecodeSeek::CachedPicture& cached);
    int TakeVideoRecord(std::shared_ptr<FFBufferFrame>& out, std::unique_lock<std::recursive_mutex>& lock,
                        bool& again);
    const AVCodec* FindDecoder(const FFCodecInfo& info, const char* kind);
    AVCodecContextPtr OpenDecoder(const FFCodecInfo& info, const AVCodec* codec);

    void _InitializeVideoCodec();
    void _InitializeAudioCodec();
    int _ReadAudioFrame(FFFrame*& out);
    int _DecodeAudio(const FFPacket& packet, FFFrame*& out);
    int ReceiveAudio(FFFrame*& out);
    void _SyncAudioToSeek();
    // The next sound block to play; blocks decoded from before a seek's
    // landing picture are skipped (0 when none is ready).
    int NextAudioBlock(FFFrame*& block);

    // Guarded by `_lock`.
    mutable std::recursive_mutex _lock;
    std::shared_ptr<FFCodecInfo> _videoCodec;
    std::shared_ptr<FFCodecInfo> _audioCodec;
    std::deque<std::shared_ptr<FFData>> _videoQueue;
    std::deque<std::shared_ptr<FFData>> _audioQueue;
    std::shared_ptr<DecodeSeek> _seek;
    bool _optimizeSeek = true;
    // "No time", in the picture path as in the sound path: times before the
    // stream's zero (a wrapped transport stream, Opus pre-skip) are negative
    // and real.
    static constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();
    // Time of the last picture decoded since the codec was restarted.
    double _lastVideoTime = kNoTime;
    // The reading side's: the camera's capture time of each picture sent to
    // the video decoder and not yet out of it.
    CaptureTimes _captureTimes;
    // The reading side's (see the header); the first-frame flags are also
    // reset under `_lock` when a seek or a new description arrives.
    FFFrame _videoFrame;
    FFFrame _audioFrame;
    // A cached band picture on its way to conversion (scrubbing).
    FFFrame _scrubFrame;
    bool _firstVideoFrame = true;
    bool _firstAudioFrame = true;
    FFColorSpace _colorSpace;
    FFPCMConvert _pcmConvert;
    // Guarded by `_lock`.
    int32_t _dstPixelFormat = -1;
    int _pictureWidth = 0;
    int _pictureHeight = 0;
    bool _audioEnabled = true;
    bool _audioReader = false;
    bool _eosPending = false;
    // Sound blocks that start before this time are not played: set when a
    // seek hands over to sound, cleared by the first block played (NaN: off).
    // Decoded times, not packet times, decide: codecs with a delay (Opus,
    // MP3) give blocks times that differ from their packets'.
    // NaN when no seek holds sound back.
    double _soundFrom = kNoTime;
    static constexpr double kSoundSlack = 1e-6;

    // Opened decoders, copies of the descriptions above: the description
    // records are shared with the source and other nodes and stay untouched.
    AVCodecContextPtr _videoContext;
    AVCodecContextPtr _audioContext;
    // One packet can give several pictures; they stay in the codec and are
    // taken before the next record.
    bool _videoFramesPending = false;
    // A null packet was sent; the codec must be flushed once it reports EOF.
    bool _videoDrainSent = false;
    // Packets went in since the last flush, so delayed pictures may be held.
    bool _videoNeedsDrain = false;
    bool _audioFramesPending = false;
    // The sound side: held by ReadAudio throughout, and by Flush.
    std::mutex _soundSide;
    // Guarded by `_lock`: a restart of the sound codec asked for, not yet applied.
    bool _audioRestartPending = false;
    // The sound side's: why the sound stream was just refused, reported once
    // ReadAudio has left the sound side.
    std::string _soundRefusal;
    // Set when a stream was refused (no conversion for it); cleared by the
    // next stream description and by Flush. Guarded by _lock.
    bool _videoRefused = false;
    bool _audioRefused = false;
    // Guarded by _lock: set on the application's thread, read when a decoder opens.
    DecoderThreads _threads;
    // Guarded by `_lock`: the live rule, the pictures a read may still skip
    // (the video packets queued when it began), and those missed since the
    // last event with the time of that event.
    LiveReadingRule _liveRule = LiveReadingRule::NotLive;
    size_t _skipBudget = 0;
    uint64_t _missedUnreported = 0;
    std::chrono::steady_clock::time_point _lastMissedEvent{};
    std::atomic<uint64_t> _missedPictures{0};
    // The target of the read in progress; set and used on the reading thread only.
    PictureTarget* _target = nullptr;
};

} // namespace Quillet

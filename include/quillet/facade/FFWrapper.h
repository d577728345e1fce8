#pragma once
// The player facade: owns one engine, forwards each call to it, copies
// pictures into the application's FrameData and turns native events into the
// application's events. Public header: it includes only the standard library
// and other public headers.
//
// Threads: any application thread and any event handler calls the
// operations. No facade lock is held across an engine call: the facade keeps
// its engine in a shared pointer (guarded by a small lock of its own, in the
// private `_shared` state) that each call copies, so the engine outlives a
// call in progress even when another thread disposes of the facade; the
// engine's own lock serialises the operations. ReadFrameGetSize alone also
// holds the facade's read lock while it copies a picture. Every call opens
// the library's call scope before any lock: events raised inside it, and the
// joins a stop leaves, run after every lock is let go and before the call
// returns. CloseSource, StopEngine and Dispose first fire the engine's source
// interrupt (no lock) so that they return promptly even while another thread
// is blocked in an open or a read.
#include <memory>
#include <string>
#include <vector>

#include "../engine/AudioInterface.h"
#include "FacadeTypes.h"
#include "../Export.h"

namespace Quillet {
class FFEngine;
struct FFEventArgs;
class SourceInterrupt;
} // namespace Quillet

namespace Quillet::FFWrapperCLI {

/// The player facade: plays a media file, a URL or an rtsp:// camera and hands out pictures and
/// sound.
///
/// Typical use: OpenSource, DecodeVideo (the pixel format), optionally EnableAudio and
/// SetAudioInterface, StartEngine, then ReadFrameGetSize in a loop until it returns -1.
///
/// Threads: every operation may be called from any application thread and from any event handler
/// (of this facade or another one); two threads may share one facade. Pictures and sound are
/// decoded on the thread that asks for them (ReadFrameGetSize, ReadAudioFromInterface); a sound
/// read does not wait for a picture read in progress on another thread. The source reads on a
/// thread of its own. CloseSource, StopEngine and Dispose return promptly even while another
/// thread is blocked in an open or a read (they interrupt it first).
///
/// Events: handlers registered with RegisterFFEventCallback are called synchronously on the thread
/// that reports the event, before the reporting call returns but after it has let go of every
/// library lock: EndOfStream and MissedPicturesEventArgs on the application thread inside
/// ReadFrameGetSize, just before it returns; StreamRefused on the thread that decodes; SourceError,
/// RTSPSourceError and connection changes on the source's read thread (a camera's first Connected
/// inside OpenSource, on its caller's thread); sync points and FileSinkError on the recording's
/// write thread (a file's last sync point may come inside StopVideoSave or CloseSource, on their
/// caller's thread). The audio sink (AudioInterface) is called with no library lock held too.
///
/// A handler may call any operation of any facade, its own included, and gets the same answer it
/// would get outside a handler. StopEngine, CloseSource, StopVideoSave and Dispose called on the
/// very thread they must stop (a handler on the source's read thread or the recording's write
/// thread) mark and signal the stop and return StopResult::AfterHandler: the thread ends as soon as
/// the handler returns. Dispose from such a handler forgets the engine at once (every later call
/// gets the after-Dispose answer) and the engine is torn down when the handler returns. Elsewhere
/// they return StopResult::Done once everything they stop has ended. Dispose (and the destructor)
/// also returns only once no handler of this facade is still running on another thread, so what
/// the handlers use may be destroyed after it; a handler must therefore not wait for a thread that
/// is disposing of the facade.
///
/// Errors are logged (see facade/Logging.h) and answered with a neutral value: false, 0, -1.0
/// or an empty result; the one exception is ReadFrameGetSize, which lets a std::runtime_error
/// through. After Dispose every operation returns the value its comment gives for "no engine".
class QUILLET_EXPORT FFWrapper {
public:
    /// A player whose log lines use the category "FF1".
    FFWrapper();
    /// A player whose log lines use the category `log`.
    explicit FFWrapper(const std::string& log);
    /// Takes ownership of an engine made by a derived facade.
    explicit FFWrapper(Quillet::FFEngine* engine);
    /// Disposes of the facade (closes the source).
    virtual ~FFWrapper();
    FFWrapper(const FFWrapper&) = delete;
    FFWrapper& operator=(const FFWrapper&) = delete;

    /// Does nothing; the facade is usable right after construction.
    void Initialize() {}
    /// Opens a file path, a URL FFmpeg can read, or an "rtsp://" camera. Blocks until the streams
    /// are known; false when the source cannot be opened.
    bool OpenSource(const std::string& sourceName);
    /// Why the last open failed: "not found", "permission denied", "connection refused",
    /// "timed out", "authorization failed", "not a media file", "unsupported codec", ...;
    /// empty after a successful open.
    std::string GetOpenFailureReason();
    /// Longest a network open or read may block, in seconds (default 10; 0 = no limit).
    void SetNetworkTimeout(double seconds);
    /// Stops reading and closes the source; the facade may open another one.
    /// @return StopResult::AfterHandler when called on the source's own read thread (it then ends
    ///         when the handler returns), else StopResult::Done.
    StopResult CloseSource();
    /// Starts the source's read thread; false when no source is open.
    bool StartEngine();
    /// Stops the read thread; the source stays open. A read thread stopped from its own handler
    /// cannot be started again from that handler (StartEngine then returns false).
    /// @return StopResult::AfterHandler when called on the read thread itself, else Done.
    StopResult StopEngine();
    /// Pauses playback: no new pictures until Continue.
    void Pause();
    /// Continues after Pause.
    void Continue();
    /// Drops every queued packet and picture.
    void Flush();
    /// True while paused.
    bool IsPause();
    /// True once a source name was accepted by OpenSource.
    bool IsReady();
    /// Puts the next picture into `data` (converted straight into its buffer while the stream
    /// runs). Never waits.
    /// @return the picture's byte size; 0 when no picture is ready; -1 once at end of stream.
    ///         For 0 and -1 only `data->status` changes.
    /// @throws std::runtime_error when decoding fails in a way the application must see.
    int ReadFrameGetSize(FrameData* data);
    /// The picture size in pixels: 0 and 0 while no source is open, -1 and -1 with no engine
    /// (after Dispose).
    void GetDimensions(int& width, int& height);
    /// Picture width in pixels: 0 while no source is open, -1 with no engine (after Dispose).
    int Width();
    /// Picture height in pixels: 0 while no source is open, -1 with no engine (after Dispose).
    int Height();
    /// Display width in pixels (the width scaled by the sample aspect ratio): 0 while no source
    /// is open, -1 with no engine (after Dispose).
    int RenderWidth();
    /// Display height in pixels: 0 while no source is open, -1 with no engine (after Dispose).
    int RenderHeight();
    /// Prepares video decoding into `pixelFormat` (PixelFormat::RGB24 or PixelFormat::BGR24).
    /// Call after OpenSource and before StartEngine.
    void DecodeVideo(int pixelFormat);
    /// The size pictures are handed out at, for an application that shows them smaller (or
    /// larger) than they were coded: 0, 0 is the coded size (the default); one of `width` and
    /// `height` 0 follows the other with the display aspect ratio; both fit the picture inside
    /// that box with its display aspect ratio (sample aspect ratio applied). The conversion
    /// scales in the same pass. Any time, also while playing: applies from the next picture.
    /// GetDimensions, Width and Height keep the coded size; FrameData carries the size handed out.
    /// False for a negative side.
    bool SetPictureSize(int width, int height);
    /// Turns sound decoding on or off.
    void EnableAudio(bool enable);
    /// True when the source has sound and sound decoding is on.
    bool IsAudio();
    /// The PCM format handed to the AudioInterface: sample rate in Hz, bits per sample (16) and
    /// channel count. False, with the outputs untouched, when there is no sound.
    bool GetAudioFormat(int& rate, int& bits, int& channels);
    /// Fills the buffers the AudioInterface offers with decoded sound and hands them back.
    /// @return the media time in seconds of the sound handed over, or -1.0 when none was;
    ///         0.0 with no engine (after Dispose).
    double ReadAudioFromInterface();
    /// The host's audio sink, or nullptr for none. Not owned; see AudioInterface.
    void SetAudioInterface(AudioInterface* audioInterface);
    /// The source's duration in seconds; 0 when unknown (live sources).
    double GetDuration();
    /// Seeks to `seconds`; the next picture is the one at (or just after) that time. False when
    /// nothing was done: no source, or its stream description has not reached the decoder yet.
    bool Seek(double seconds);
    /// While paused, serve seeks from the pictures already read (on by default).
    void SetOptimizeSeek(bool optimizeSeek);
    /// Whether seeks while paused are served from the pictures already read.
    bool IsOptimizeSeek();
    /// Video decoding threads: 0 automatic (every core for a file, with frame
    /// threads; slice threads for a live source, so no picture is held back),
    /// 1 the reading thread alone (the default), N that many threads (frame
    /// threads for a file, slice threads for a live source), at most 16
    /// (more are used as 16, with a warning in the log). Takes effect from the
    /// next stream opened or decoder started.
    void SetDecodingThreads(int threads);
    /// The decoding threads last set (0 automatic).
    int GetDecodingThreads();
    /// How a live camera's pictures are read when the application reads slower than the camera
    /// sends: LiveReading::Newest (the default) or LiveReading::Every. Takes effect at once; files
    /// ignore it. Recording and serving get every packet either way.
    void SetLiveReading(LiveReading reading);
    /// The live-reading policy last set.
    LiveReading GetLiveReading();
    /// Pictures of a live camera missed since the source was opened: given up or skipped because the
    /// reader fell behind. 0 for files.
    uint64_t GetMissedPictures();
    /// True when a seek to `seconds` needs the source (it lies outside the pictures held while
    /// paused). False with `pending` set when the held pictures are still growing towards it.
    bool IsOOB(double seconds, bool& pending);
    /// The pending seek's target in seconds, or -1.0 when no seek is pending.
    double GetSeekTime();

    /// Publishes the source to `url` (rtsp://, rtmp://, srt:// or a .m3u8
    /// path) by stream copy, beside playing and recording; several URLs may
    /// run at once. False, with a Failed PublishingStatusArgs event, for a URL
    /// no protocol takes. Any thread, event handlers included.
    bool StartPublishing(const std::string& url);
    /// Stops and closes the output for `url`; false when none runs. Any
    /// thread; from the output's own status handler the output ends when
    /// the handler returns.
    bool StopPublishing(const std::string& url);
    /// State and byte counts of every running output. Any thread.
    std::vector<PublishingStatus> GetPublishingStatus();
    /// Adds an event handler; see the class comment for the threads events arrive on.
    void RegisterFFEventCallback(const ManagedEventDelegate& cb);
    /// Removes one registration of `cb` (a copy of a registered delegate).
    void UnRegisterFFEventCallback(const ManagedEventDelegate& cb);

    /// Closes the source and deletes the engine; idempotent. Any thread, event handlers included
    /// (see the class comment); later calls get the after-Dispose answers at once.
    /// @return StopResult::AfterHandler when called on one of the engine's own threads (the
    ///         teardown completes when the handler returns), else StopResult::Done.
    virtual StopResult Dispose();

protected:
    /// The engine, for derived facades; null after disposal. A copy keeps it alive.
    std::shared_ptr<Quillet::FFEngine> Engine() const;
    /// Closes the source and lets the engine go; later calls find no engine.
    StopResult _DeleteEngine();
    /// For the library's facades: runs `call` on the engine, seen as an `EngineType`, inside the
    /// library's call scope and with no facade lock held; answers `none` once the engine is gone.
    /// Defined in the library's sources.
    template <class EngineType = Quillet::FFEngine, class Result, class Call>
    Result WithEngine(Result none, Call call);
    /// For the library's facades: as WithEngine(Result, Call), for a call without a result.
    template <class EngineType = Quillet::FFEngine, class Call>
    void WithEngine(Call call);
    /// For the library's facades: a WithEngine call that stops threads; says whether it asked
    /// the calling thread itself to stop.
    template <class EngineType = Quillet::FFEngine, class Call>
    StopResult Stopping(Call call);

private:
    void InterruptSource();

    // The engine, the handlers and the read lock, shared with the engine's
    // event callback; defined in the library's sources (facade/FacadeCalls.h).
    struct Shared;
    const std::shared_ptr<Shared> _shared;
};

} // namespace Quillet::FFWrapperCLI

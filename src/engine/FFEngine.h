#pragma once
// The playback engine: owns one source, the traffic node and the decoder,
// wires them into a chain, starts and stops the source's read thread, hands
// out converted pictures one at a time, and reacts to end of stream and
// source errors by closing the source on its own close worker.
//
// Threads:
// - the application's thread, through a facade, calls every public
//   operation (open, start, stop, seek, pause, reads, queries);
// - the source's read thread, the recording's write thread and the
//   publishing workers report through SendMessageEvent, Error and events;
//   what they raise reaches the application's handlers at the end of each
//   pass of their loops, with no library lock held (core/CallScope.h), so a
//   handler may call any operation of any engine, this one's included;
// - the close worker runs CloseSource for end of stream and source errors;
// - the host's audio thread calls ReadAudioFromInterface, which takes no
//   `_mutex` (a picture read holds it through a whole decode): only the
//   traffic node's lock and the decoder's sound side (see FFDecode.h).
//
// Lock order, one for the whole library (take left to right, never back):
//   engine `_mutex` -> a node's lock (FFSourceNode::lock, the traffic node's
//   and the decoder's own locks) -> a queue's lock (decoder queues, client
//   queues) -> codec lock (FFCodecLock.h).
// `_closeLock` and `_retireLock` stand apart: taken without `_mutex` held,
// and nothing is locked or joined while they are held.
// `_mutex` is recursive because the public operations call the protected
// steps below, which lock it again so that derived engines can call them
// alone. It is taken through EngineLock, which opens a CallScope first.
//
// Stops are two steps. Under `_mutex` a stop marks and signals (the source's
// RequestStop, the sink's RequestStop) and takes what it stops out of the
// engine's reach; the join and the rest (closing the source, finishing the
// file) are queued with CallScope::AfterLocks and run when the operation has
// let go of every lock, before it returns. No thread is ever joined under a
// lock it may need. A stop asked from a handler on the very thread it stops
// is marked, and completes once the handler returns: that thread ends
// itself; a source it read is kept in `_retiring` until another thread (the
// next open, start, stop or close, or the destructor) joins and closes it.
// An engine must not be destroyed on one of its own threads while that
// thread is inside the engine; IsOwnWorker tells a facade to hand its last
// reference to the thread's exit instead (threadex::AtThisWorkerExit).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/FFThread.h"
#include "decode/FFCLIFrame.h"
#include "decode/FFDecode.h"
#include "engine/AudioInterface.h"
#include "engine/FFEngineSettings.h"
#include "publish/PublishHub.h"
#include "events/FFMessenger.h"
#include "source/FFSourceSettings.h"
#include "source/FFTraffic.h"
#include "source/IFFSource.h"
#include "source/SourceInterrupt.h"

namespace Quillet {

class FFEngine : public FFMessenger {
public:
    explicit FFEngine(const std::string& log);
    ~FFEngine() override;

    // Event reaction: end of stream and source errors close the source.
    void SendMessageEvent(FFMessageType message) override;
    void Error(const std::string& where, const std::exception& e, FFMessageType message) override;

    // `ticket` is the interrupt's Ticket() taken when the caller's own call
    // began: a stop or close after it cancels this open (see SourceInterrupt).
    bool OpenSource(const std::string& url) { return OpenSource(url, _interrupt->Ticket()); }
    bool OpenSource(const std::string& url, uint64_t ticket);
    // Why the last OpenSource (or StartEngine's open) failed.
    OpenFailure LastOpenFailure() const;
    // Ends a blocking open or read at once; any thread, no lock taken.
    // StopEngine, CloseSource and the destructor do this before they wait
    // for the engine lock; a facade does it before its own monitor.
    void InterruptSource() { _interrupt->Fire(); }
    const std::shared_ptr<SourceInterrupt>& Interrupt() const { return _interrupt; }
    void CloseSource();
    void PrepareVideoDecode(int pixelFormat);
    void ConfigureEngine(FFEngineSettings settings);
    FFEngineSettings GetEngineConfiguration() const;
    bool StartEngine() { return StartEngine(_interrupt->Ticket()); }
    bool StartEngine(uint64_t ticket);
    void StopEngine();
    bool IsEngineRunning();
    bool IsReady() const;
    void Flush();
    // Never waits: size 0 when no picture is ready, -1 once at end of stream.
    // With a target, a picture of the running stream is converted straight
    // into the target's storage (see FFDecode::ReadVideo). The one operation
    // that passes an error on: a std::runtime_error is logged and rethrown
    // (the error model is in core/FFError.h).
    FFCLIFrame ReadVideo(PictureTarget* target = nullptr);
    int Width() const;
    int Height() const;
    int RenderWidth() const;
    int RenderHeight() const;
    double GetDuration() const;

    void Pause();
    void Continue();
    bool IsPause() const;
    // False when nothing was done: no source, or its stream description has
    // not reached the decoder yet.
    bool Seek(double seconds);
    bool IsOOB(double seconds, bool& pending) const;
    double GetSeekTime() const;
    void SetAudioInterface(AudioInterface* audioInterface);
    void EnableAudio(bool enable);
    bool IsAudio() const;
    bool GetAudioFormat(int* rate, int* bits, int* channels) const;
    // Media time of the last audio block written to the host, or -1.0.
    double ReadAudioFromInterface();

    // Publishing the source to network outputs, beside playing and recording
    // it. Application threads; not from a publishing event handler for the
    // same URL's start. False (and logged) for a URL no protocol takes.
    bool StartPublishing(const std::string& url);
    // False when nothing is published to `url`.
    bool StopPublishing(const std::string& url);
    std::vector<PublishStatus> GetPublishingStatus() const;

    // Called after every record the decoder takes in (see
    // FFDecode::SetArrivalNotice): a reader waiting for a picture wakes on it.
    void SetArrivalNotice(std::function<void()> notice) { _decode.SetArrivalNotice(std::move(notice)); }

    // The size pictures are handed out at (0 x 0: the coded size); see
    // FFDecode::SetPictureSize. Any thread; the decoder's lock only, so it
    // does not wait for a read in progress and applies from its next picture.
    void SetPictureSize(int width, int height) { _decode.SetPictureSize(width, height); }

    // Pictures of a live source the player missed since the open (given up
    // or skipped by the live-reading rule). Any thread; no lock.
    uint64_t MissedPictures() const;

    // Marks and signals the stop of every thread of the engine (reader,
    // writer, publishing workers) without waiting: a facade disposing of the
    // engine from one of those threads calls it, so that all of them end and
    // the engine can be torn down at that thread's exit. Any thread, no lock.
    virtual void RequestShutdown();

    // True on one of this engine's own threads (the source's reader, the
    // recording's writer, a publishing worker, the close worker).
    bool IsOwnWorker() const { return threadex::CurrentOwner() == this; }

    // Settings handed to a camera source when one is opened; their decoding
    // threads and live-reading rule become the engine's.
    void SetSourceSettingsForCamera(std::shared_ptr<FFSourceSettings> settings);

protected:
    // The steps behind the public operations. Each takes `_mutex` itself
    // (recursively when called from a public operation that holds it).
    virtual void _CloseSource();
    virtual void _StartEngine();
    virtual void _StopEngine();
    virtual void _Flush();
    virtual bool _Seek(double seconds);
    virtual void _PrepareVideoDecode(int pixelFormat);
    // Creates the source for a URL; derived engines and tests may substitute.
    virtual std::unique_ptr<IFFSource> _CreateSource(const std::string& url);

    bool _OpenSource();
    // Closes a running source that no node is connected to any more.
    void _CloseSourceIfUnused();
    AudioBufferList ReadAudio(AudioBufferList buffers, double* time);
    // Runs `work` and turns an exception into the error pair and `neutral`.
    // Takes no lock; `work` takes what it needs.
    template <typename R, typename F>
    R Guarded(const char* operation, R neutral, F&& work) const;
    template <typename F>
    void Guarded(const char* operation, F&& work) const;

    // `_mutex` guards everything below down to `_settings`, except the
    // atomic `_audioInterface`: the source, the nodes' wiring, the URL and
    // the settings.
    std::shared_ptr<FFSourceSettings> _sourceSettings;
    mutable std::recursive_mutex _mutex;
    // Shared so that a stop can join and close it with no lock held after
    // taking it out of the engine.
    std::shared_ptr<IFFSource> _source;
    FFTraffic _traffic;
    FFDecode _decode;
    std::string _url;
    // Set by the host without the engine lock, cleared by a close that may
    // run on the close worker while the host reads audio.
    std::atomic<AudioInterface*> _audioInterface{nullptr};
    FFEngineSettings _settings;
    // Shared with every source this engine opens; never replaced.
    const std::shared_ptr<SourceInterrupt> _interrupt = std::make_shared<SourceInterrupt>();
    OpenFailure _lastFailure = OpenFailure::None;
    // Connected to each source the engine opens; its own lock guards the list.
    PublishHub _publishers;

    // Runs `job` on the close worker once the previous job has ended (at most
    // the worker's join limit); never on the reporting node's thread.
    void ScheduleOnCloseWorker(std::function<void()> job);
    // Waits for a running close job and refuses new ones; derived engines call
    // it first in their destructor, before their own members go.
    void ShutDownCloseWorker();
    // Waits for a close job that is running (not when called from it). Must
    // be called without `_mutex` held: the close job takes it.
    void WaitForCloseJob();
    // Joins and closes a source taken out of the engine; with no lock held.
    // On the source's own read thread (a handler) it keeps the source in
    // `_retiring` instead.
    void _RetireSource(std::shared_ptr<IFFSource> source);
    // Joins and closes the sources retired from their own read thread that
    // have ended since; with no lock held.
    void _FinishRetired();
    // Joins a read thread that was asked to stop (from a handler on it)
    // before a new start; with no lock held.
    void _JoinStoppedReader();

private:
    // The size and duration getters: asks the source under `_mutex` and logs
    // the answer as "FFEngine::<name>: <answer>"; 0 without a source,
    // `neutral` when the query throws.
    template <typename R, typename Query>
    R _QuerySource(const char* name, R neutral, Query query) const;

    // Guards `_retiring`.
    std::mutex _retireLock;
    std::vector<std::shared_ptr<IFFSource>> _retiring;
    // Guards `_destroying`: scheduling and destruction never overlap. The
    // worker (a thread-safe wrapper) is joined without it.
    std::mutex _closeLock;
    bool _destroying = false;
    threadex _closeThread{"engine close"};
};

} // namespace Quillet

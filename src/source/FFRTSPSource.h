#pragma once
// The live camera source. The camera client connects and describes the
// streams; this source turns those descriptions into decoder descriptions,
// and on its own thread turns every packet the client delivers into an
// FFPacket carrying the camera's wall-clock time. When the client's
// connection ends it tells the application and the graph, then reopens the
// camera at a fixed interval until it answers again. A camera that changes
// its codec configuration gets a new description pushed ahead of the packet
// that carries the change. A camera codec this library cannot carry is
// refused with an event naming it; a camera that refuses the credentials
// raises an "authorization failed" event. The source never waits for its
// destinations: every packet goes to each of them the moment it arrives,
// whatever they answer (each copes with its own pace).
//
// Threads and locks:
// - The engine's threads call the IFFSource operations; the worker
//   (_ReadFramesFromSource) reads from the client, pushes, reconnects.
// - _lock (recursive) guards the codec contexts (_contexts, see
//   CameraCodecContexts.h), stream indexes, config ids, _url and _sourceSettings. It is never held across a call that can block
//   for long: not during Connect, not during the pause between attempts,
//   not during a push. Width(), HasAudio() and the like therefore answer at
//   once even while the camera is away.
// - _clientGuard guards only the _rtspSource pointer; callers take a copy
//   (_Client) and call the client without it. The client itself is safe to
//   call from any thread.
// - With no packet waiting the worker sleeps in the client's WaitForPacket
//   (the client wakes it when a packet arrives or the connection ends).
// - _stop, raised by StopReadThread, ends the pause between attempts at
//   once; StopReadThread then wakes the client's waiter, so a stop also ends
//   a sleep on the queue at once. _reconnectInterval is atomic.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/IRTSPClient.h"
#include "core/FFAVCodec.h"
#include "core/FFThread.h"
#include "core/StopSignal.h"
#include "source/CameraCodecContexts.h"
#include "source/IFFSource.h"

namespace Quillet {

class FFPacket;

class FFRTSPSource : public IFFSource {
public:
    static constexpr std::chrono::milliseconds kReconnectInterval{5000};

    FFRTSPSource();
    // Stops a read thread that is still running, then tears the client down.
    ~FFRTSPSource() override;
    FFRTSPSource(const FFRTSPSource&) = delete;
    FFRTSPSource& operator=(const FFRTSPSource&) = delete;

    std::shared_ptr<FFData> GetMetaInfo() override;
    bool OpenSource(const std::string& url) override;
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
    // Why the last OpenSource failed: a refused login is told apart.
    OpenFailure LastOpenFailure() const override;
    void Seek(double seconds) override;

    void GetDimensions(int* width, int* height);
    // The engine's interrupt: once fired, it cancels a connect in OpenSource
    // (the first one only; reconnections are ended by a stop). The network
    // timeout bounds each step of connecting to the camera.
    void SetInterrupt(std::shared_ptr<SourceInterrupt> interrupt, double networkTimeoutSeconds) override;

    // Pause between two failed reconnection attempts; tests shorten it.
    void SetReconnectInterval(std::chrono::milliseconds interval);

private:
    // What an open found out that the application must hear about.
    struct OpenOutcome {
        bool connected = false;
        bool authorizationFailed = false;
        OpenFailure failure = OpenFailure::Other; // why the connect failed, as far as the camera told
        std::vector<std::string> refusals; // codecs that cannot be carried
    };

    std::shared_ptr<IRTSPClient> _Client();
    int _VideoSize(const char* operation, bool width);
    bool _Open(const std::string& url, OpenOutcome& outcome);
    void _AnnounceRefusals(const std::vector<std::string>& refusals);
    // The stream descriptions; called with `_lock` held.
    std::shared_ptr<FFCodecInfo> _GetVideoCodecInfo();
    std::shared_ptr<FFCodecInfo> _GetAudioCodecInfo();
    std::shared_ptr<FFAVCodec> _GetCodecInfo();

    // The worker's; each takes `_lock` only around what it touches.
    void _ReadFramesFromSource();
    void _ReadLoop();
    void _ForwardPacket(const MediaPacketStruct& mp);
    void _ConvertPacket(const MediaPacketStruct& mp, FFPacket& packet);
    void _HandleCodecChange(const MediaPacketStruct& mp);
    void _PushData(const std::shared_ptr<FFData>& record);
    // One reconnection attempt: tells the loss, reopens, and waits out the
    // pause between attempts when the reopen failed (a stop ends the pause).
    void _ReconnectOnce();
    void _AnnounceLoss();
    bool _Reopen();
    void _AnnounceConnection(ConnectionStatus status, const std::string& text);
    void _WaitBeforeNextAttempt();
    void _ReplaceClient();
    void _InterruptConnect();

    // Guarded by `_lock` (see the header), up to _url; the read thread and
    // the settings as marked.
    std::recursive_mutex _lock;
    CameraCodecContexts _contexts{*this};
    int32_t _videoStreamIndex = -1;
    int32_t _audioStreamIndex = -1;
    // The read thread's: the latest wall-clock time handed on per stream, kept
    // across reconnections.
    int64_t _lastVideoLiveTime = 0;
    int64_t _lastAudioLiveTime = 0;
    int32_t _lastVideoConfigId = 0;
    int32_t _lastAudioConfigId = 0;
    std::shared_ptr<IRTSPClient> _rtspSource; // see _clientGuard
    std::string _url;
    thread<FFRTSPSource> _readThread{"camera read"};
    // Written under _lock, read by the worker without it.
    std::atomic<bool> _running{false};
    int32_t _reconnectAttempts = 0;
    std::shared_ptr<FFSourceSettings> _sourceSettings;
    // Written by OpenSource, read by the engine's thread after it.
    std::atomic<OpenFailure> _openFailure{OpenFailure::None};

    // A stop must not wait out a whole pause between attempts or a camera
    // that does not answer a reconnection: it raises _stop (waking the pause)
    // and interrupts a reconnection's Connect through the client.
    StopSignal _stop;
    std::atomic<std::chrono::milliseconds> _reconnectInterval{kReconnectInterval};
    std::atomic<bool> _reconnecting{false};
    // Set once by the engine before the open; `_opening` is true while
    // OpenSource connects (shared with the client's cancel check).
    std::shared_ptr<SourceInterrupt> _interrupt;
    double _networkTimeoutSeconds = 0.0; // each connecting step's limit when shorter than the packet timeout
    const std::shared_ptr<std::atomic<bool>> _opening = std::make_shared<std::atomic<bool>>(false);
    // Guards the `_rtspSource` pointer only.
    std::mutex _clientGuard;
};

} // namespace Quillet

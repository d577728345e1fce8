#pragma once
// The player facade: owns one engine, forwards each call under its own
// monitor, copies pictures into the application's FrameData and turns native
// events into the application's events. Any thread may call any operation;
// the monitor (_mutex) serialises them. CloseSource, StopEngine and Dispose
// first fire the engine's source interrupt (no lock) so that they return
// promptly even while another thread is blocked in an open or a read.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/AudioInterface.h"
#include "events/FFEventArgs.h"
#include "facade/FacadeTypes.h"

namespace Quillet {
class FFEngine;
class SourceInterrupt;
} // namespace Quillet

namespace Quillet::FFWrapperCLI {

class FFWrapper {
public:
    FFWrapper();
    explicit FFWrapper(const std::string& log);
    // Takes ownership of an engine made by a derived facade.
    explicit FFWrapper(Quillet::FFEngine* engine);
    virtual ~FFWrapper();
    FFWrapper(const FFWrapper&) = delete;
    FFWrapper& operator=(const FFWrapper&) = delete;

    void Initialize() {}
    bool OpenSource(const std::string& sourceName);
    // Why the last open failed: "not found", "permission denied", "connection
    // refused", "timed out", "authorization failed", "not a media file",
    // "unsupported codec", ...; empty after a successful open.
    std::string GetOpenFailureReason();
    // Longest a network open or read may block (default 10 s; 0 = no limit).
    void SetNetworkTimeout(double seconds);
    void CloseSource();
    bool StartEngine();
    void StopEngine();
    void Pause();
    void Continue();
    void Flush();
    bool IsPause();
    bool IsReady();
    // Copies the next picture into `data`: its byte size, 0 when none is
    // ready, -1 once at end of stream.
    int ReadFrameGetSize(FrameData* data);
    void GetDimensions(int& width, int& height);
    int Width();
    int Height();
    int RenderWidth();
    int RenderHeight();
    void DecodeVideo(int pixelFormat);
    void EnableAudio(bool enable);
    bool IsAudio();
    bool GetAudioFormat(int& rate, int& bits, int& channels);
    double ReadAudioFromInterface();
    void SetAudioInterface(AudioInterface* audioInterface);
    double GetDuration();
    void Seek(double seconds);
    void SetOptimizeSeek(bool optimizeSeek);
    bool IsOptimizeSeek();
    bool IsOOB(double seconds, bool& pending);
    double GetSeekTime();

    void RegisterFFEventCallback(const ManagedEventDelegate& cb);
    void UnRegisterFFEventCallback(const ManagedEventDelegate& cb);

    // Closes the source and deletes the engine; idempotent.
    virtual void Dispose();

protected:
    // Derived facades reach their own engine type through this.
    Quillet::FFEngine* Engine() const { return _engine; }
    // Closes the source and deletes the engine; later calls find no engine.
    void _DeleteEngine();
    std::recursive_mutex _mutex;

private:
    void InterruptSource();
    void FFEventHandler(Quillet::FFEventArgs* args);
    void Raise(const EventArgs& args);

    Quillet::FFEngine* _engine = nullptr;
    // The engine's interrupt, kept apart so it can fire without the monitor
    // and outlive the engine; set once at construction.
    const std::shared_ptr<Quillet::SourceInterrupt> _interrupt;
    std::mutex _handlersLock;
    std::vector<ManagedEventDelegate> _handlers;
};

} // namespace Quillet::FFWrapperCLI

#pragma once
// The object behind a quillet_player handle: one facade of the five kinds,
// the handle's signal and event queue, its callbacks, the picture buffers it
// reads into and its audio sink.
//
// Threads: any application thread calls the operations (through the C
// functions, which hold a shared reference for the call). The facade's
// event handler runs on the reporting threads and calls Deliver. Locks:
// `_readLock` guards the buffers (`_pool`, `_current`; `_held` is atomic,
// cleared by DropHeld without it) and
// `_endHandedOut` for one attempt of a read, never across its wait;
// `_callbackLock` guards the two callbacks; `_sinkLock` the audio sink; the
// facade has its own monitor, the signal its own lock. Order: `_readLock` ->
// facade monitor -> the engine's locks -> signal lock; `_callbackLock` is
// never held while anything else is taken. No lock of the handle is held
// while a callback of the application runs: events a read raises on its own
// thread are kept until the read has let go of `_readLock`, and delivered
// before it returns.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capi/HandleSignal.h"
#include "facade/FFServingWrappers.h"
#include "facade/PictureRead.h"
#include "quillet.h"

// A picture buffer shared between a player and the application: the player
// holds one reference while it keeps the buffer in its pool, the application
// one per quillet_buffer it was handed. Any thread releases.
struct quillet_buffer {
    std::atomic<int> refs{1};
    Quillet::FFWrapperCLI::FrameData frame;
};

namespace Quillet::CApi {

class AudioSinkBridge;

// What the C interface needs from a facade beyond its public operations:
// the decoder's arrival notice, camera settings for every kind, and firing
// the source interrupt without the facade's monitor. Implemented by Reached<>.
class EngineReach {
public:
    virtual ~EngineReach() = default;
    virtual void SetArrivalNotice(std::function<void()> notice) = 0;
    virtual void SetCameraSettings(std::shared_ptr<FFSourceSettings> settings) = 0;
    virtual void FireSourceInterrupt() = 0;
    // FFWrapper::ReadFrameGetSize with a target of the caller's (see PictureRead.h).
    virtual int ReadPictureInto(FFWrapperCLI::FrameData& data, FFWrapperCLI::FrameTarget& target,
                                const uint8_t** pixels) = 0;
};

// An application's buffer for one read (quillet_player_read_picture_into):
// the picture is converted straight into it when its rows fit there packed.
struct CallerBuffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    int stride = 0;
    // Set by the read: the picture is in `data`, not in a pool buffer.
    bool filled = false;
};

class Player : public std::enable_shared_from_this<Player> {
public:
    // A handle of `kind` (a quillet_kind) whose log lines use `log`.
    static std::shared_ptr<Player> Create(int kind, const std::string& log);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    const int kind;

    FFWrapperCLI::FFWrapper& Facade() { return *_facade; }
    EngineReach& Reach() { return *_reach; }
    // Null when this kind does not offer them.
    FFWrapperCLI::FFFileWrapper* Recorder() { return _recorder; }
    FFWrapperCLI::IFFSerializeWrapper* Server() { return _server; }
    FFWrapperCLI::FFFileServerWrapper* LiveServer() { return _liveServer; }
    FFWrapperCLI::FFPlayServerWrapper* PlayServer() { return _playServer; }
    FFWrapperCLI::FFRemoteWrapper* Remote() { return _remote; }

    HandleSignal& Signal() { return _signal; }

    // The next picture into `out` (may be null); on QUILLET_OK `*buffer` is
    // the buffer holding it (the player's reference; retain to keep it).
    // With `caller`, a picture whose rows fit its buffer packed is converted
    // straight into it (caller->filled, `*buffer` null, `out` describes it).
    int Read(quillet_picture* out, quillet_buffer** buffer, int timeoutMs, CallerBuffer* caller = nullptr);
    // Keeps the picture just read for the next Read (a caller's buffer was too small).
    void HoldCurrent();
    // Forgets a kept picture: it belongs to the position it was read at, so
    // a seek, flush, close or open drops it. Never waits for a reader.
    void DropHeld() { _held = false; }

    // Runs `work` around an open or start, so that an interrupt cancels it.
    template <class Work>
    auto Opening(Work&& work)
    {
        ++_opening;
        struct Leave {
            std::atomic<int>& n;
            ~Leave() { --n; }
        } leave{_opening};
        return work();
    }
    // Ends blocked reads and waits, cancels an open in progress.
    void Interrupt();
    // Ends every wait for good and disposes of the facade; idempotent.
    void Shutdown();
    bool IsShutDown() const { return _shutDown.load(); }

    // Events from the facade (reporting thread) and to the application.
    void Deliver(QueuedEvent event);
    void SetEventCallback(quillet_event_fn callback, void* user);
    void SetWakeupCallback(quillet_wakeup_fn callback, void* user);

    // The host's sound sink (null removes it).
    void SetAudioSink(const quillet_audio_sink* sink);

    // The pixel format set (a quillet_pixel_format, -1 before any).
    std::atomic<int> pixelFormat{-1};
    // Whether the decoder was given a pixel format since the last open (a
    // player started without one decodes into the last set, or BGR24).
    std::atomic<bool> decoderSet{false};
    // Whether quillet_player_close closed the source: a start then has
    // nothing to start until the next open.
    std::atomic<bool> closed{false};

    // The capture time of the picture the last read handed out (100 ns ticks
    // since 1970 UTC, 0 without one) and whether it is trusted; written by
    // Describe on the reading thread, read by any.
    std::pair<int64_t, bool> LastCaptureTime() const { return {_captureTicks.load(), _captureTrusted.load()}; }

private:
    Player(int kind, std::unique_ptr<FFWrapperCLI::FFWrapper> facade);
    // Marks the calling thread as inside a read of `player` holding its read
    // lock: Deliver keeps the events it raises in `events` meanwhile.
    class CollectEvents {
    public:
        CollectEvents(const Player& player, std::vector<QueuedEvent>& events);
        ~CollectEvents();
        CollectEvents(const CollectEvents&) = delete;
        CollectEvents& operator=(const CollectEvents&) = delete;

    private:
        const Player* _outer;
        std::vector<QueuedEvent>* _outerEvents;
    };

    // One attempt of Read under `_readLock`: QUILLET_OK, QUILLET_END or
    // QUILLET_AGAIN (nothing yet; also at once, without `mayWait`, while
    // another reader holds the lock). The events it raised land in `raised`;
    // `kept` is the buffer it referenced once more until they are delivered.
    int ReadOnce(quillet_picture* out, quillet_buffer** buffer, CallerBuffer* caller, std::vector<QueuedEvent>& raised,
                 quillet_buffer*& kept, bool mayWait);
    void OnFacadeEvent(const FFWrapperCLI::EventArgs& args);
    quillet_buffer* WritableBuffer();
    void Describe(const quillet_buffer& buffer, quillet_picture* out) const;

    HandleSignal _signal;
    std::mutex _callbackLock;
    quillet_event_fn _eventCallback = nullptr;
    void* _eventUser = nullptr;
    quillet_wakeup_fn _wakeupCallback = nullptr;
    void* _wakeupUser = nullptr;

    std::mutex _readLock;
    std::vector<quillet_buffer*> _pool;
    quillet_buffer* _current = nullptr;
    std::atomic<bool> _held{false};
    // Reads that met the end and are delivering its event: the reads made
    // meanwhile (the end's callback reading its own player) get the end too.
    int _endHandedOut = 0;

    mutable std::atomic<int64_t> _captureTicks{0};
    mutable std::atomic<bool> _captureTrusted{false};
    std::atomic<int> _opening{0};
    std::atomic<bool> _shutDown{false};

    // Declared before the facade: the facade calls the sink until disposed.
    // One bridge for the player's life; `_sinkLock` serialises setting it.
    std::mutex _sinkLock;
    std::unique_ptr<AudioSinkBridge> _audioSink;
    std::unique_ptr<FFWrapperCLI::FFWrapper> _facade;
    EngineReach* _reach = nullptr;
    FFWrapperCLI::FFFileWrapper* _recorder = nullptr;
    FFWrapperCLI::IFFSerializeWrapper* _server = nullptr;
    FFWrapperCLI::FFFileServerWrapper* _liveServer = nullptr;
    FFWrapperCLI::FFPlayServerWrapper* _playServer = nullptr;
    FFWrapperCLI::FFRemoteWrapper* _remote = nullptr;
};

// Drops one reference to `buffer`, freeing it with the last.
void ReleaseBuffer(quillet_buffer* buffer);

} // namespace Quillet::CApi

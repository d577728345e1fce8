#include "capi/Player.h"

#include <chrono>

#include "capi/AudioSinkBridge.h"
#include "capi/CallGuard.h"
#include "engine/FFEngine.h"
#include "facade/FacadeCalls.h"

namespace Quillet::CApi {
namespace {

using namespace Quillet::FFWrapperCLI;

// The player whose read on this thread holds its read lock, and where events
// that read raises wait until the lock is let go (see Player::Read).
struct Collector {
    const Player* player = nullptr;
    std::vector<QueuedEvent>* events = nullptr;
};
thread_local Collector t_collecting;


// A facade of the library with the few engine operations the C interface
// needs; see EngineReach.
template <class Facade>
class Reached final : public Facade, public EngineReach {
public:
    explicit Reached(const std::string& log) : Facade(log)
    {
        this->WithEngine([this](Quillet::FFEngine& e) { _interrupt = e.Interrupt(); });
    }
    void SetArrivalNotice(std::function<void()> notice) override
    {
        this->WithEngine([&](Quillet::FFEngine& e) { e.SetArrivalNotice(std::move(notice)); });
    }
    void SetCameraSettings(std::shared_ptr<FFSourceSettings> settings) override
    {
        this->WithEngine([&](Quillet::FFEngine& e) { e.SetSourceSettingsForCamera(std::move(settings)); });
    }
    void FireSourceInterrupt() override
    {
        if (_interrupt)
            _interrupt->Fire();
    }
    int ReadPictureInto(FrameData& data, FrameTarget& target, const uint8_t** pixels) override
    {
        return this->WithEngine(0, [&](Quillet::FFEngine& e) { return ReadPicture(e, data, target, pixels); });
    }

private:
    // Set once at construction; fired without the facade's monitor.
    std::shared_ptr<Quillet::SourceInterrupt> _interrupt;
};

// The caller's buffer when a picture's rows fit it packed, else the pool
// buffer's FrameData.
class CallerTarget final : public FrameTarget {
public:
    CallerTarget(FrameData& data, const CallerBuffer& caller) : _data(data), _caller(caller) {}
    uint8_t* Reserve(int width, int height, int bytes) override
    {
        const size_t row = static_cast<size_t>(width) * 3;
        if (static_cast<size_t>(_caller.stride) == row && static_cast<size_t>(bytes) == row * static_cast<size_t>(height) &&
            _caller.size >= static_cast<size_t>(bytes))
        {
            _data.width = width;
            _data.height = height;
            return _caller.data;
        }
        return SizeFrameData(_data, width, height, bytes);
    }
    bool Holds(const uint8_t* pixels) const override { return pixels == _caller.data || pixels == _data.frame.data(); }

private:
    FrameData& _data;
    const CallerBuffer& _caller;
};

std::unique_ptr<FFWrapper> MakeFacade(int kind, const std::string& log)
{
    switch (kind) {
    case QUILLET_KIND_PLAYER: return std::make_unique<Reached<FFWrapper>>(log);
    case QUILLET_KIND_RECORDER: return std::make_unique<Reached<FFFileWrapper>>(log);
    case QUILLET_KIND_LIVE_SERVER: return std::make_unique<Reached<FFFileServerWrapper>>(log);
    case QUILLET_KIND_PLAY_SERVER: return std::make_unique<Reached<FFPlayServerWrapper>>(log);
    case QUILLET_KIND_REMOTE: return std::make_unique<Reached<FFRemoteWrapper>>(log);
    default: throw StatusError(QUILLET_ERROR_INVALID_ARGUMENT, "unknown kind of handle");
    }
}

// The C form of a facade event; false for a kind the C interface does not know.
bool Convert(const EventArgs& args, QueuedEvent& e)
{
    if (const auto* m = dynamic_cast<const FFMessageEventArgs*>(&args)) {
        e.type = QUILLET_EVENT_MESSAGE;
        e.code = static_cast<int>(m->message);
    } else if (const auto* s = dynamic_cast<const SyncPointEventArgs*>(&args)) {
        e.type = QUILLET_EVENT_SYNC_POINT;
        e.text = s->fileName;
        e.videoTime = s->videoTime.count();
        e.pcTime =
            std::chrono::duration_cast<std::chrono::microseconds>(s->PCTimeUTC.time_since_epoch()).count() * 10;
        e.isGood = s->isGood ? 1 : 0;
    } else if (const auto* c = dynamic_cast<const SourceConnectionStatusArgs*>(&args)) {
        e.type = QUILLET_EVENT_CONNECTION_STATUS;
        e.code = static_cast<int>(c->status);
        e.text = c->message;
    } else if (const auto* p = dynamic_cast<const PublishingStatusArgs*>(&args)) {
        e.type = QUILLET_EVENT_PUBLISHING_STATUS;
        e.code = static_cast<int>(p->state);
        e.text = p->message;
        e.url = p->url;
    } else if (const auto* m = dynamic_cast<const MissedPicturesEventArgs*>(&args)) {
        e.type = QUILLET_EVENT_MISSED_PICTURES;
        e.missed = m->missed;
        e.missedTotal = m->total;
    } else {
        return false;
    }
    return true;
}

// Codes pass from the facade's events to the C ones as they are: the numbers are the same.
static_assert(QUILLET_MESSAGE_END_OF_STREAM == static_cast<int>(Quillet::FFMessageType::EndOfStream) &&
              QUILLET_MESSAGE_RECORDING_FELL_BEHIND == static_cast<int>(Quillet::FFMessageType::RecordingFellBehind));
static_assert(QUILLET_CONNECTED == static_cast<int>(Quillet::ConnectionStatus::Connected) &&
              QUILLET_DISCONNECTED == static_cast<int>(Quillet::ConnectionStatus::Disconnected) &&
              QUILLET_CONNECTION_LOST == static_cast<int>(Quillet::ConnectionStatus::ConnectionLost));
static_assert(QUILLET_PUBLISH_CONNECTING == static_cast<int>(Quillet::PublishState::Connecting) &&
              QUILLET_PUBLISH_STOPPED == static_cast<int>(Quillet::PublishState::Stopped));

} // namespace

void ReleaseBuffer(quillet_buffer* buffer)
{
    if (buffer && buffer->refs.fetch_sub(1) == 1)
        delete buffer;
}

std::shared_ptr<Player> Player::Create(int kind, const std::string& log)
{
    std::shared_ptr<Player> player(new Player(kind, MakeFacade(kind, log)));
    // The event holds the player while its callback runs: a destroy from inside the callback
    // frees the player only once the callback has returned.
    player->_facade->RegisterFFEventCallback(ManagedEventDelegate([weak = std::weak_ptr<Player>(player)](const EventArgs& args) {
        if (const std::shared_ptr<Player> p = weak.lock())
            p->OnFacadeEvent(args);
    }));
    return player;
}

Player::Player(int kind, std::unique_ptr<FFWrapper> facade)
    : kind(kind), _audioSink(std::make_unique<AudioSinkBridge>()), _facade(std::move(facade))
{
    _reach = dynamic_cast<EngineReach*>(_facade.get());
    _recorder = dynamic_cast<FFFileWrapper*>(_facade.get());
    _server = dynamic_cast<IFFSerializeWrapper*>(_facade.get());
    _liveServer = dynamic_cast<FFFileServerWrapper*>(_facade.get());
    _playServer = dynamic_cast<FFPlayServerWrapper*>(_facade.get());
    _remote = dynamic_cast<FFRemoteWrapper*>(_facade.get());
    _reach->SetArrivalNotice([signal = &_signal] { signal->Bump(); });
}

Player::~Player()
{
    Shutdown();
    _facade.reset();
    for (quillet_buffer* b : _pool)
        ReleaseBuffer(b);
}

void Player::Shutdown()
{
    _signal.Close();
    _shutDown = true;
    _reach->FireSourceInterrupt(); // the serving facades' own dispose does not
    _facade->Dispose();
}

void Player::Interrupt()
{
    _signal.Interrupt();
    if (_opening.load() > 0)
        _reach->FireSourceInterrupt();
}

quillet_buffer* Player::WritableBuffer()
{
    // A buffer only the player holds can take the next picture; the current
    // one first, so that its storage stays warm.
    if (_current && _current->refs.load() == 1)
        return _current;
    for (quillet_buffer* b : _pool)
        if (b->refs.load() == 1)
            return b;
    _pool.push_back(new quillet_buffer);
    return _pool.back();
}

void Player::Describe(const quillet_buffer& buffer, quillet_picture* out) const
{
    const FrameData& f = buffer.frame;
    _captureTicks = f.captureTime.time_since_epoch() / std::chrono::nanoseconds(100);
    _captureTrusted = f.captureTimeTrusted;
    if (!out)
        return;
    out->data = f.frame.data();
    out->width = f.width;
    out->height = f.height;
    out->stride = f.height > 0 ? f.size / f.height : 0;
    out->time = f.frameTime;
    out->first = f.firstFrame ? 1 : 0;
    out->size = f.size;
    out->status = f.status;
    out->pixel_format = pixelFormat.load();
}

void Player::HoldCurrent()
{
    std::lock_guard<std::mutex> guard(_readLock);
    _held = _current != nullptr;
}

int Player::Read(quillet_picture* out, quillet_buffer** buffer, int timeoutMs, CallerBuffer* caller)
{
    const HandleSignal::Mark began = _signal.Now();
    const auto deadline = HandleSignal::Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        // Progress from here on wakes the wait below; an interrupt since the call began ends it.
        HandleSignal::Mark mark = _signal.Now();
        mark.interrupts = began.interrupts;
        std::vector<QueuedEvent> raised;
        quillet_buffer* kept = nullptr;
        const int status = ReadOnce(out, buffer, caller, raised, kept, timeoutMs != 0);
        if (!raised.empty()) {
            // Undone however the delivery ends.
            struct Delivered {
                Player& self;
                quillet_buffer* kept;
                bool end;
                ~Delivered()
                {
                    ReleaseBuffer(kept);
                    if (end) {
                        std::lock_guard<std::mutex> reading(self._readLock);
                        --self._endHandedOut;
                    }
                }
            } delivered{*this, kept, status == QUILLET_END};
            // The events this read raised (the end of the stream, missed pictures) reach the
            // callback now that no lock of the handle is held, before the read returns.
            for (QueuedEvent& e : raised)
                Deliver(std::move(e));
        }
        if (status != QUILLET_AGAIN)
            return status;
        if (timeoutMs == 0)
            return QUILLET_AGAIN;
        switch (_signal.WaitForProgress(mark, deadline, timeoutMs < 0)) {
        case HandleSignal::Woken::TimedOut: return QUILLET_AGAIN;
        case HandleSignal::Woken::Interrupted: return QUILLET_INTERRUPTED;
        case HandleSignal::Woken::Progress: break;
        }
    }
}

int Player::ReadOnce(quillet_picture* out, quillet_buffer** buffer, CallerBuffer* caller,
                     std::vector<QueuedEvent>& raised, quillet_buffer*& kept, bool mayWait)
{
    // A read with timeout 0 never waits, not even for another reader's copy.
    std::unique_lock<std::mutex> reading(_readLock, std::defer_lock);
    if (mayWait)
        reading.lock();
    else if (!reading.try_lock())
        return QUILLET_AGAIN;
    if (_endHandedOut > 0)
        return QUILLET_END; // asked while the end's callback runs: the end is still being handed out
    if (_held) {
        _held = false;
        Describe(*_current, out);
        *buffer = _current;
        return QUILLET_OK;
    }
    quillet_buffer* b = WritableBuffer();
    int size = 0;
    const uint8_t* pixels = nullptr;
    {
        const CollectEvents collecting(*this, raised);
        try {
            if (caller) {
                CallerTarget target(b->frame, *caller);
                size = _reach->ReadPictureInto(b->frame, target, &pixels);
            } else {
                size = _facade->ReadFrameGetSize(&b->frame);
            }
        } catch (const std::runtime_error& e) {
            throw StatusError(QUILLET_ERROR_DECODE, e.what());
        }
    }
    if (out)
        out->status = b->frame.status;
    if (size > 0 && caller && pixels == caller->data) {
        // In the caller's buffer: the pool buffer only lent its description,
        // and holds no picture of its own now.
        caller->filled = true;
        _current = nullptr;
        Describe(*b, out);
        if (out)
            out->data = caller->data;
        *buffer = nullptr;
        return QUILLET_OK;
    }
    if (size > 0) {
        _current = b;
        Describe(*b, out);
        *buffer = b;
        if (!raised.empty()) {
            // A read inside the callback must not write over the picture this read hands out.
            b->refs.fetch_add(1);
            kept = b;
        }
        return QUILLET_OK;
    }
    if (size < 0) {
        if (!raised.empty())
            ++_endHandedOut;
        return QUILLET_END;
    }
    return QUILLET_AGAIN;
}

void Player::OnFacadeEvent(const EventArgs& args)
{
    QueuedEvent e;
    if (Convert(args, e))
        Deliver(std::move(e));
}

Player::CollectEvents::CollectEvents(const Player& player, std::vector<QueuedEvent>& events)
    : _outer(t_collecting.player), _outerEvents(t_collecting.events)
{
    t_collecting = Collector{&player, &events};
}

Player::CollectEvents::~CollectEvents()
{
    t_collecting = Collector{_outer, _outerEvents};
}

void Player::Deliver(QueuedEvent event)
{
    if (t_collecting.player == this) {
        t_collecting.events->push_back(std::move(event));
        return;
    }
    quillet_event_fn callback;
    void* user;
    {
        std::lock_guard<std::mutex> guard(_callbackLock);
        callback = _eventCallback;
        user = _eventUser;
    }
    if (callback) {
        const quillet_event view = event.View();
        callback(user, &view);
    }
    if (!_signal.Push(std::move(event)))
        return;
    quillet_wakeup_fn wakeup;
    {
        std::lock_guard<std::mutex> guard(_callbackLock);
        wakeup = _wakeupCallback;
        user = _wakeupUser;
    }
    if (wakeup)
        wakeup(user);
}

void Player::SetEventCallback(quillet_event_fn callback, void* user)
{
    std::lock_guard<std::mutex> guard(_callbackLock);
    _eventCallback = callback;
    _eventUser = user;
}

void Player::SetWakeupCallback(quillet_wakeup_fn callback, void* user)
{
    std::lock_guard<std::mutex> guard(_callbackLock);
    _wakeupCallback = callback;
    _wakeupUser = user;
}

void Player::SetAudioSink(const quillet_audio_sink* sink)
{
    std::lock_guard<std::mutex> guard(_sinkLock);
    _audioSink->Set(sink);
    _facade->SetAudioInterface(sink ? _audioSink.get() : nullptr);
}

} // namespace Quillet::CApi

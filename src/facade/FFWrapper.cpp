#include "facade/FFWrapper.h"

#include <algorithm>

#include "engine/FFEngine.h"
#include "events/FFEventArgs.h"
#include "facade/FacadeCalls.h"
#include "facade/PictureRead.h"
#include "source/OpenFailure.h"
#include "source/SourceInterrupt.h"

#include "core/FFThread.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Quillet::FFWrapperCLI {

// The public names spare applications the FFmpeg headers; they must stay FFmpeg's numbers.
static_assert(PixelFormat::RGB24 == AV_PIX_FMT_RGB24 && PixelFormat::BGR24 == AV_PIX_FMT_BGR24);
// The live-reading numbers travel unchanged from the facade to the decoder.
static_assert(static_cast<int>(LiveReading::Newest) == static_cast<int>(Quillet::LiveReadingRule::Newest) &&
              static_cast<int>(LiveReading::Every) == static_cast<int>(Quillet::LiveReadingRule::Every));
namespace {

// Changes one engine setting, keeping the others.
template <class Field>
void Reconfigure(Quillet::FFEngine& engine, Field FFEngineSettings::*field, Field value)
{
    FFEngineSettings settings = engine.GetEngineConfiguration();
    settings.*field = value;
    engine.ConfigureEngine(settings);
}

// The application's form of each native event record.
SyncPointEventArgs ApplicationArgs(const Quillet::FFSyncPointArgs& s)
{
    SyncPointEventArgs args;
    args.videoTime = std::chrono::duration<double>(s.videoTime);
    args.PCTimeUTC = PCTimeFromTicks(s.PCTimeUTC);
    args.fileName = s.fileName;
    args.isGood = s.isGood;
    return args;
}

SourceConnectionStatusArgs ApplicationArgs(const Quillet::FFSourceConnectionStatusArgs& c)
{
    SourceConnectionStatusArgs args;
    args.status = c.status;
    args.message = c.message;
    return args;
}

PublishingStatusArgs ApplicationArgs(const Quillet::FFPublishStatusArgs& p)
{
    PublishingStatusArgs args;
    args.url = p.url;
    args.state = static_cast<PublishingState>(p.state);
    args.message = p.message;
    return args;
}

MissedPicturesEventArgs ApplicationArgs(const Quillet::FFMissedPicturesArgs& m)
{
    MissedPicturesEventArgs args;
    args.missed = m.missed;
    args.total = m.total;
    return args;
}

// Deletes an engine once nothing uses it. On one of the engine's own threads
// (a handler that disposed of the facade, or whose call held the last
// reference) the delete waits until that thread has left the engine's code.
void DeleteEngine(Quillet::FFEngine* engine)
{
    if (engine->IsOwnWorker() && Quillet::threadex::AtThisWorkerExit([engine] { delete engine; }))
        return;
    delete engine;
}

void Dispatch(FacadeHandlers& handlers, Quillet::FFEventArgs* a)
{
    if (!a)
        return;
    switch (a->type) {
    case Quillet::MessageEvent:
        handlers.Raise(FFMessageEventArgs(static_cast<Quillet::FFMessageArgs*>(a)->message));
        break;
    case Quillet::SyncPointEvent: handlers.Raise(ApplicationArgs(*static_cast<Quillet::FFSyncPointArgs*>(a))); break;
    case Quillet::ConnectionStatusEvent:
        handlers.Raise(ApplicationArgs(*static_cast<Quillet::FFSourceConnectionStatusArgs*>(a)));
        break;
    case Quillet::PublishStatusEvent:
        handlers.Raise(ApplicationArgs(*static_cast<Quillet::FFPublishStatusArgs*>(a)));
        break;
    case Quillet::MissedPicturesEvent:
        handlers.Raise(ApplicationArgs(*static_cast<Quillet::FFMissedPicturesArgs*>(a)));
        break;
    }
}

} // namespace

namespace {
// The handler lists whose handlers run on this thread, innermost last.
thread_local std::vector<const FacadeHandlers*> t_raising;
} // namespace

void FacadeHandlers::Raise(const EventArgs& args)
{
    std::vector<ManagedEventDelegate> now;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (closed)
            return;
        now = list;
        ++running;
    }
    t_raising.push_back(this);
    try {
        for (const auto& h : now)
            h(args);
    } catch (...) {
        t_raising.pop_back();
        Finished();
        throw;
    }
    t_raising.pop_back();
    Finished();
}

void FacadeHandlers::Finished()
{
    std::lock_guard<std::mutex> guard(lock);
    --running;
    idle.notify_all();
}

void FacadeHandlers::Close()
{
    const auto mine = std::count(t_raising.begin(), t_raising.end(), this);
    std::unique_lock<std::mutex> guard(lock);
    closed = true;
    idle.wait(guard, [&] { return running <= mine; });
}

std::chrono::system_clock::time_point PCTimeFromTicks(int64_t ticks)
{
    return std::chrono::system_clock::time_point(std::chrono::microseconds(ticks / 10));
}

FFWrapper::FFWrapper() : FFWrapper(std::string("FF1")) {}

FFWrapper::FFWrapper(const std::string& log) : FFWrapper(new Quillet::FFEngine(log)) {}

FFWrapper::FFWrapper(Quillet::FFEngine* engine) : _shared(std::make_shared<Shared>())
{
    if (!engine)
        return;
    _shared->engine = std::shared_ptr<Quillet::FFEngine>(engine, DeleteEngine);
    _shared->interrupt = engine->Interrupt();
}

void FFWrapper::InterruptSource()
{
    if (_shared->interrupt)
        _shared->interrupt->Fire();
}

FFWrapper::~FFWrapper()
{
    Dispose();
}

StopResult FFWrapper::Dispose()
{
    InterruptSource();
    return _DeleteEngine();
}

std::shared_ptr<Quillet::FFEngine> FFWrapper::Engine() const
{
    return _shared->Engine();
}

StopResult FFWrapper::_DeleteEngine()
{
    // Forgotten first: from here on every call answers as after Dispose.
    std::shared_ptr<Quillet::FFEngine> engine;
    {
        std::lock_guard<std::mutex> guard(_shared->lock);
        engine.swap(_shared->engine);
    }
    if (!engine) {
        // Disposed already, maybe by a handler still running on another
        // thread: this dispose too returns once that handler has.
        _shared->handlers->Close();
        return StopResult::Done;
    }
    const uint64_t before = Quillet::threadex::SelfStops();
    {
        // The close's own events (a file's last sync point) still reach the
        // handlers, when it has let go of its locks.
        Quillet::CallScope scope;
        engine->CloseSource();
    }
    engine->RegisterFFEventCallback(nullptr);
    _shared->handlers->Close();
    const bool ownThread = engine->IsOwnWorker();
    // On one of its own threads the engine is torn down at that thread's
    // exit: every other thread of it must end too, not just the source.
    if (ownThread)
        engine->RequestShutdown();
    // The last reference deletes the engine (with no lock held); on the
    // engine's own thread once that thread has left its loop.
    engine.reset();
    return ownThread || Quillet::threadex::SelfStops() != before ? StopResult::AfterHandler : StopResult::Done;
}

bool FFWrapper::OpenSource(const std::string& sourceName)
{
    // A close from now on cancels this open, one before it does not, even
    // when it comes before the engine's lock is ours.
    const uint64_t ticket = _shared->interrupt ? _shared->interrupt->Ticket() : 0;
    return WithEngine(false, [&](FFEngine& e) { return e.OpenSource(sourceName, ticket); });
}

StopResult FFWrapper::CloseSource()
{
    InterruptSource();
    return Stopping([](FFEngine& e) { e.CloseSource(); });
}

bool FFWrapper::StartEngine()
{
    const uint64_t ticket = _shared->interrupt ? _shared->interrupt->Ticket() : 0;
    return WithEngine(false, [ticket](FFEngine& e) { return e.StartEngine(ticket); });
}

StopResult FFWrapper::StopEngine()
{
    InterruptSource();
    return Stopping([](FFEngine& e) { e.StopEngine(); });
}

void FFWrapper::Pause()
{
    WithEngine([](FFEngine& e) { e.Pause(); });
}

void FFWrapper::Continue()
{
    WithEngine([](FFEngine& e) { e.Continue(); });
}

void FFWrapper::Flush()
{
    WithEngine([](FFEngine& e) { e.Flush(); });
}

bool FFWrapper::IsPause()
{
    return WithEngine(false, [](FFEngine& e) { return e.IsPause(); });
}

bool FFWrapper::IsReady()
{
    return WithEngine(false, [](FFEngine& e) { return e.IsReady(); });
}

int FFWrapper::ReadFrameGetSize(FrameData* data)
{
    if (!data)
        return 0;
    return WithEngine(0, [this, data](FFEngine& e) {
        // One picture copy at a time; events of the read (end of stream)
        // reach the handlers after this is let go.
        std::lock_guard<std::mutex> reading(_shared->readLock);
        FrameDataTarget target(*data);
        return ReadPicture(e, *data, target);
    });
}

void FFWrapper::GetDimensions(int& width, int& height)
{
    width = -1;
    height = -1;
    WithEngine([&](FFEngine& e) {
        width = e.Width();
        height = e.Height();
    });
}

int FFWrapper::Width()
{
    return WithEngine(-1, [](FFEngine& e) { return e.Width(); });
}

int FFWrapper::Height()
{
    return WithEngine(-1, [](FFEngine& e) { return e.Height(); });
}

int FFWrapper::RenderWidth()
{
    return WithEngine(-1, [](FFEngine& e) { return e.RenderWidth(); });
}

int FFWrapper::RenderHeight()
{
    return WithEngine(-1, [](FFEngine& e) { return e.RenderHeight(); });
}

void FFWrapper::DecodeVideo(int pixelFormat)
{
    WithEngine([pixelFormat](FFEngine& e) { e.PrepareVideoDecode(pixelFormat); });
}

bool FFWrapper::SetPictureSize(int width, int height)
{
    if (width < 0 || height < 0)
        return false;
    return WithEngine(false, [=](FFEngine& e) {
        e.SetPictureSize(width, height);
        return true;
    });
}

void FFWrapper::EnableAudio(bool enable)
{
    WithEngine([enable](FFEngine& e) { e.EnableAudio(enable); });
}

bool FFWrapper::IsAudio()
{
    return WithEngine(false, [](FFEngine& e) { return e.IsAudio(); });
}

bool FFWrapper::GetAudioFormat(int& rate, int& bits, int& channels)
{
    return WithEngine(false, [&](FFEngine& e) {
        int r = 0, b = 0, c = 0;
        if (!e.GetAudioFormat(&r, &b, &c))
            return false;
        rate = r;
        bits = b;
        channels = c;
        return true;
    });
}

double FFWrapper::ReadAudioFromInterface()
{
    // No facade lock: the host's slots (application code) run inside, and a
    // picture read on another thread is not waited for (the engine and the
    // decoder keep sound reads apart from picture reads themselves).
    return WithEngine(0.0, [](FFEngine& e) { return e.ReadAudioFromInterface(); });
}

void FFWrapper::SetAudioInterface(AudioInterface* audioInterface)
{
    WithEngine([audioInterface](FFEngine& e) { e.SetAudioInterface(audioInterface); });
}

double FFWrapper::GetDuration()
{
    return WithEngine(0.0, [](FFEngine& e) { return e.GetDuration(); });
}

bool FFWrapper::Seek(double seconds)
{
    return WithEngine(false, [seconds](FFEngine& e) { return e.Seek(seconds); });
}

bool FFWrapper::StartPublishing(const std::string& url)
{
    return WithEngine(false, [&](FFEngine& e) { return e.StartPublishing(url); });
}

bool FFWrapper::StopPublishing(const std::string& url)
{
    return WithEngine(false, [&](FFEngine& e) { return e.StopPublishing(url); });
}

std::vector<PublishingStatus> FFWrapper::GetPublishingStatus()
{
    return WithEngine(std::vector<PublishingStatus>{}, [](FFEngine& e) {
        std::vector<PublishingStatus> all;
        for (Quillet::PublishStatus& s : e.GetPublishingStatus())
            all.push_back(PublishingStatus{std::move(s)});
        return all;
    });
}

void FFWrapper::SetOptimizeSeek(bool optimizeSeek)
{
    WithEngine([=](FFEngine& e) { Reconfigure(e, &FFEngineSettings::optimizeSeek, optimizeSeek); });
}

void FFWrapper::SetNetworkTimeout(double seconds)
{
    if (seconds < 0.0)
        return;
    WithEngine([=](FFEngine& e) { Reconfigure(e, &FFEngineSettings::networkTimeoutSeconds, seconds); });
}

void FFWrapper::SetDecodingThreads(int threads)
{
    WithEngine([=](FFEngine& e) { Reconfigure(e, &FFEngineSettings::decodingThreads, threads); });
}

void FFWrapper::SetLiveReading(LiveReading reading)
{
    const int number = static_cast<int>(reading);
    WithEngine([=](FFEngine& e) { Reconfigure(e, &FFEngineSettings::liveReading, number); });
}

LiveReading FFWrapper::GetLiveReading()
{
    return WithEngine(LiveReading::Newest, [](FFEngine& e) {
        return static_cast<LiveReading>(e.GetEngineConfiguration().liveReading);
    });
}

uint64_t FFWrapper::GetMissedPictures()
{
    return WithEngine(uint64_t{0}, [](FFEngine& e) { return e.MissedPictures(); });
}

std::string FFWrapper::GetOpenFailureReason()
{
    return WithEngine(std::string(), [](FFEngine& e) { return Quillet::OpenFailureText(e.LastOpenFailure()); });
}

int FFWrapper::GetDecodingThreads()
{
    return WithEngine(1, [](FFEngine& e) { return e.GetEngineConfiguration().decodingThreads; });
}

bool FFWrapper::IsOptimizeSeek()
{
    return WithEngine(false, [](FFEngine& e) { return e.GetEngineConfiguration().optimizeSeek; });
}

bool FFWrapper::IsOOB(double seconds, bool& pending)
{
    pending = false;
    return WithEngine(false, [&](FFEngine& e) { return e.IsOOB(seconds, pending); });
}

double FFWrapper::GetSeekTime()
{
    return WithEngine(-1.0, [](FFEngine& e) { return e.GetSeekTime(); });
}

void FFWrapper::RegisterFFEventCallback(const ManagedEventDelegate& cb)
{
    {
        std::lock_guard<std::mutex> guard(_shared->handlers->lock);
        _shared->handlers->list.push_back(cb);
    }
    // The callback holds the handlers, not the facade: an event in flight
    // when the facade goes finds them (closed) instead of a dead object.
    WithEngine([handlers = _shared->handlers](FFEngine& e) {
        e.RegisterFFEventCallback([handlers](Quillet::FFEventArgs* args) { Dispatch(*handlers, args); });
    });
}

void FFWrapper::UnRegisterFFEventCallback(const ManagedEventDelegate& cb)
{
    FacadeHandlers& handlers = *_shared->handlers;
    std::lock_guard<std::mutex> guard(handlers.lock);
    for (auto it = handlers.list.begin(); it != handlers.list.end(); ++it)
        if (*it == cb) {
            handlers.list.erase(it); // one registration at a time, like a multicast event
            return;
        }
}

} // namespace Quillet::FFWrapperCLI

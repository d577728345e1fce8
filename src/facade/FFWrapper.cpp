#include "facade/FFWrapper.h"

#include "engine/FFEngine.h"
#include "events/FFEventArgs.h"
#include "source/OpenFailure.h"
#include "source/SourceInterrupt.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Quillet::FFWrapperCLI {

// The public names spare applications the FFmpeg headers; they must stay FFmpeg's numbers.
static_assert(PixelFormat::RGB24 == AV_PIX_FMT_RGB24 && PixelFormat::BGR24 == AV_PIX_FMT_BGR24);
namespace {

// Sizes the application's picture buffer for one picture, keeping its
// storage (same data pointer) while size and dimensions stay the same.
uint8_t* SizeFrameData(FrameData& data, int width, int height, int bytes)
{
    if (data.width != width || data.height != height || data.frame.size() != static_cast<size_t>(bytes)) {
        data.frame = std::vector<uint8_t>(static_cast<size_t>(bytes));
        data.width = width;
        data.height = height;
    }
    return data.frame.data();
}

// The application's FrameData as the decoder's conversion target.
class FrameDataTarget : public Quillet::PictureTarget {
public:
    explicit FrameDataTarget(FrameData& data) : _data(data) {}
    uint8_t* Reserve(int width, int height, int bytes) override { return SizeFrameData(_data, width, height, bytes); }

private:
    FrameData& _data;
};

} // namespace

std::chrono::system_clock::time_point PCTimeFromTicks(int64_t ticks)
{
    return std::chrono::system_clock::time_point(std::chrono::microseconds(ticks / 10));
}

FFWrapper::FFWrapper() : FFWrapper(std::string("FF1")) {}

FFWrapper::FFWrapper(const std::string& log) : FFWrapper(new Quillet::FFEngine(log)) {}

FFWrapper::FFWrapper(Quillet::FFEngine* engine)
    : _engine(engine), _interrupt(engine ? engine->Interrupt() : nullptr)
{
}

void FFWrapper::InterruptSource()
{
    if (_interrupt)
        _interrupt->Fire();
}

FFWrapper::~FFWrapper()
{
    Dispose();
}

void FFWrapper::Dispose()
{
    InterruptSource();
    _DeleteEngine();
}

void FFWrapper::_DeleteEngine()
{
    Quillet::FFEngine* engine;
    {
        lock guard(_mutex);
        engine = _engine;
        if (!engine)
            return;
        engine->CloseSource();
        engine->RegisterFFEventCallback(nullptr);
        _engine = nullptr;
    }
    delete engine;
}

bool FFWrapper::OpenSource(const std::string& sourceName)
{
    // A close from now on cancels this open, one before it does not, even
    // when it comes before the engine's lock is ours.
    const uint64_t ticket = _interrupt ? _interrupt->Ticket() : 0;
    lock guard(_mutex);
    return _engine ? _engine->OpenSource(sourceName, ticket) : false;
}

void FFWrapper::CloseSource()
{
    InterruptSource();
    lock guard(_mutex);
    if (_engine)
        _engine->CloseSource();
}

bool FFWrapper::StartEngine()
{
    const uint64_t ticket = _interrupt ? _interrupt->Ticket() : 0;
    lock guard(_mutex);
    return _engine ? _engine->StartEngine(ticket) : false;
}

void FFWrapper::StopEngine()
{
    InterruptSource();
    lock guard(_mutex);
    if (_engine)
        _engine->StopEngine();
}

void FFWrapper::Pause()
{
    lock guard(_mutex);
    if (_engine)
        _engine->Pause();
}

void FFWrapper::Continue()
{
    lock guard(_mutex);
    if (_engine)
        _engine->Continue();
}

void FFWrapper::Flush()
{
    lock guard(_mutex);
    if (_engine)
        _engine->Flush();
}

bool FFWrapper::IsPause()
{
    lock guard(_mutex);
    return _engine ? _engine->IsPause() : false;
}

bool FFWrapper::IsReady()
{
    lock guard(_mutex);
    return _engine ? _engine->IsReady() : false;
}

int FFWrapper::ReadFrameGetSize(FrameData* data)
{
    lock guard(_mutex);
    if (!data || !_engine)
        return 0;
    // The running stream is converted straight into data->frame; a sought
    // or cached picture is copied into it once.
    FrameDataTarget target(*data);
    FFCLIFrame picture = _engine->ReadVideo(&target);
    data->status = picture.status;
    if (picture.frame && picture.size > 0) {
        data->frameTime = picture.frame->GetFrameTime();
        data->size = picture.frame->GetVideoSize();
        data->firstFrame = picture.frame->GetFirstFrame();
        const AVFrame* f = picture.frame->CFrame();
        picture.frame->CopyFrame(SizeFrameData(*data, f->width, f->height, data->size));
    }
    return picture.size;
}

void FFWrapper::GetDimensions(int& width, int& height)
{
    lock guard(_mutex);
    width = _engine ? _engine->Width() : -1;
    height = _engine ? _engine->Height() : -1;
}

int FFWrapper::Width()
{
    lock guard(_mutex);
    return _engine ? _engine->Width() : -1;
}

int FFWrapper::Height()
{
    lock guard(_mutex);
    return _engine ? _engine->Height() : -1;
}

int FFWrapper::RenderWidth()
{
    lock guard(_mutex);
    return _engine ? _engine->RenderWidth() : -1;
}

int FFWrapper::RenderHeight()
{
    lock guard(_mutex);
    return _engine ? _engine->RenderHeight() : -1;
}

void FFWrapper::DecodeVideo(int pixelFormat)
{
    lock guard(_mutex);
    if (_engine)
        _engine->PrepareVideoDecode(pixelFormat);
}

void FFWrapper::EnableAudio(bool enable)
{
    lock guard(_mutex);
    if (_engine)
        _engine->EnableAudio(enable);
}

bool FFWrapper::IsAudio()
{
    lock guard(_mutex);
    return _engine ? _engine->IsAudio() : false;
}

bool FFWrapper::GetAudioFormat(int& rate, int& bits, int& channels)
{
    lock guard(_mutex);
    if (!_engine)
        return false;
    int r = 0, b = 0, c = 0;
    if (!_engine->GetAudioFormat(&r, &b, &c))
        return false;
    rate = r;
    bits = b;
    channels = c;
    return true;
}

double FFWrapper::ReadAudioFromInterface()
{
    lock guard(_mutex);
    return _engine ? _engine->ReadAudioFromInterface() : 0.0;
}

void FFWrapper::SetAudioInterface(AudioInterface* audioInterface)
{
    lock guard(_mutex);
    if (_engine)
        _engine->SetAudioInterface(audioInterface);
}

double FFWrapper::GetDuration()
{
    lock guard(_mutex);
    return _engine ? _engine->GetDuration() : 0.0;
}

void FFWrapper::Seek(double seconds)
{
    lock guard(_mutex);
    if (_engine)
        _engine->Seek(seconds);
}

bool FFWrapper::StartPublishing(const std::string& url)
{
    lock guard(_mutex);
    return _engine && _engine->StartPublishing(url);
}

bool FFWrapper::StopPublishing(const std::string& url)
{
    lock guard(_mutex);
    return _engine && _engine->StopPublishing(url);
}

std::vector<PublishingStatus> FFWrapper::GetPublishingStatus()
{
    lock guard(_mutex);
    std::vector<PublishingStatus> all;
    if (!_engine)
        return all;
    for (const Quillet::PublishStatus& s : _engine->GetPublishingStatus()) {
        PublishingStatus status;
        status.url = s.url;
        status.state = static_cast<PublishingState>(s.state);
        status.bytes = s.bytes;
        status.packets = s.packets;
        status.queued = s.queued;
        status.reconnects = s.reconnects;
        status.lastError = s.lastError;
        all.push_back(std::move(status));
    }
    return all;
}

void FFWrapper::SetOptimizeSeek(bool optimizeSeek)
{
    lock guard(_mutex);
    if (_engine) {
        FFEngineSettings settings = _engine->GetEngineConfiguration();
        settings.optimizeSeek = optimizeSeek;
        _engine->ConfigureEngine(settings);
    }
}

void FFWrapper::SetNetworkTimeout(double seconds)
{
    lock guard(_mutex);
    if (_engine && seconds >= 0.0) {
        FFEngineSettings settings = _engine->GetEngineConfiguration();
        settings.networkTimeoutSeconds = seconds;
        _engine->ConfigureEngine(settings);
    }
}

void FFWrapper::SetDecodingThreads(int threads)
{
    lock guard(_mutex);
    if (_engine) {
        FFEngineSettings settings = _engine->GetEngineConfiguration();
        settings.decodingThreads = threads;
        _engine->ConfigureEngine(settings);
    }
}

std::string FFWrapper::GetOpenFailureReason()
{
    lock guard(_mutex);
    return _engine ? Quillet::OpenFailureText(_engine->LastOpenFailure()) : "";
}

int FFWrapper::GetDecodingThreads()
{
    lock guard(_mutex);
    return _engine ? _engine->GetEngineConfiguration().decodingThreads : 1;
}

bool FFWrapper::IsOptimizeSeek()
{
    lock guard(_mutex);
    return _engine ? _engine->GetEngineConfiguration().optimizeSeek : false;
}

bool FFWrapper::IsOOB(double seconds, bool& pending)
{
    lock guard(_mutex);
    pending = false;
    return _engine ? _engine->IsOOB(seconds, pending) : false;
}

double FFWrapper::GetSeekTime()
{
    lock guard(_mutex);
    return _engine ? _engine->GetSeekTime() : -1.0;
}

void FFWrapper::RegisterFFEventCallback(const ManagedEventDelegate& cb)
{
    {
        std::lock_guard<std::mutex> guard(_handlersLock);
        _handlers.push_back(cb);
    }
    lock guard(_mutex);
    if (_engine)
        _engine->RegisterFFEventCallback([this](Quillet::FFEventArgs* args) { FFEventHandler(args); });
}

void FFWrapper::UnRegisterFFEventCallback(const ManagedEventDelegate& cb)
{
    std::lock_guard<std::mutex> guard(_handlersLock);
    for (auto it = _handlers.begin(); it != _handlers.end(); ++it)
        if (*it == cb) {
            _handlers.erase(it); // one registration at a time, like a multicast event
            return;
        }
}

void FFWrapper::Raise(const EventArgs& args)
{
    std::vector<ManagedEventDelegate> handlers;
    {
        std::lock_guard<std::mutex> guard(_handlersLock);
        handlers = _handlers;
    }
    for (const auto& h : handlers)
        h(args);
}

void FFWrapper::FFEventHandler(Quillet::FFEventArgs* a)
{
    if (!a)
        return;
    if (a->type == Quillet::MessageEvent) {
        FFMessageEventArgs args(static_cast<FFMessageType>(static_cast<Quillet::FFMessageArgs*>(a)->message));
        Raise(args);
    } else if (a->type == Quillet::SyncPointEvent) {
        const auto* s = static_cast<Quillet::FFSyncPointArgs*>(a);
        SyncPointEventArgs args;
        args.videoTime = std::chrono::duration<double>(s->videoTime);
        args.PCTimeUTC = PCTimeFromTicks(s->PCTimeUTC);
        args.fileName = s->fileName;
        args.isGood = s->isGood;
        Raise(args);
    } else if (a->type == Quillet::ConnectionStatusEvent) {
        const auto* c = static_cast<Quillet::FFSourceConnectionStatusArgs*>(a);
        SourceConnectionStatusArgs args;
        args.status = static_cast<ConnectionStatus>(c->status);
        args.message = c->message;
        Raise(args);
    } else if (a->type == Quillet::PublishStatusEvent) {
        const auto* p = static_cast<Quillet::FFPublishStatusArgs*>(a);
        PublishingStatusArgs args;
        args.url = p->url;
        args.state = static_cast<PublishingState>(p->state);
        args.message = p->message;
        Raise(args);
    }
}

} // namespace Quillet::FFWrapperCLI

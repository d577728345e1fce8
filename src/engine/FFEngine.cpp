#include "engine/FFEngine.h"
#include "engine/EngineLock.h"
#include "engine/FFEngineGuarded.h"

#include "core/UrlForLog.h"
#include "core/FFCodecLock.h"
#include "core/FFError.h"
#include "image/ImagePrimitives.h"
#include "source/FFRTSPSource.h"
#include "source/FFSource.h"

namespace Quillet {

using Lock = EngineLock;

namespace {
// Live cameras get their own source; everything else is read by FFmpeg.
bool IsCameraUrl(const std::string& url)
{
    return url.compare(0, 4, "rtsp") == 0;
}
} // namespace

FFEngine::FFEngine(const std::string& log) : FFMessenger(log)
{
    std::lock_guard<std::mutex> codecGuard(CodecLock());
    // Pick the image primitives' SIMD code for this processor once, up front.
    Image::InitializeImagePrimitives();
    avformat_network_init();
    InitLogger();
    _traffic.SetMessenger(this);
    _decode.SetMessenger(this);
}

void FFEngine::RequestShutdown()
{
    InterruptSource();
    {
        Lock lock(_mutex);
        if (_source)
            _source->RequestStop();
    }
    _publishers.RequestStopAll();
}

FFEngine::~FFEngine()
{
    LogInfo() << "FFEngine::~FFEngine";
    InterruptSource();
    ShutDownCloseWorker();
    // Sources stopped from their own handlers: their threads have ended or
    // end once those handlers return. No lock is held here.
    _FinishRetired();
    // A source still reading would push into nodes that are about to go.
    if (_source) {
        _source->StopReadThread();
        _source->CloseSource();
        _source->DisconnectNode();
    }
    for (auto& sink : _publishers.DetachAll(_source.get()))
        _publishers.Retire(std::move(sink));
    _source.reset();
    _traffic.DisconnectNode();
}

void FFEngine::SendMessageEvent(FFMessageType message)
{
    Guarded("FFEngine::SendMessageEvent", [&] {
        LogInfo() << "FFEngine::SendMessageEvent" << ": " << static_cast<int>(message);
        FFMessenger::SendMessageEvent(message);
        if (message == FFMessageType::EndOfStream)
            ScheduleOnCloseWorker([this] { CloseSource(); });
    });
}

void FFEngine::Error(const std::string& where, const std::exception& e, FFMessageType message)
{
    Guarded("FFEngine::Error", [&] {
        FFMessenger::Error(where, e, message);
        if (message == FFMessageType::SourceError || message == FFMessageType::RTSPSourceError) {
            LogError() << "Severe error in source - closing the source";
            ScheduleOnCloseWorker([this] { CloseSource(); });
        }
    });
}

bool FFEngine::OpenSource(const std::string& url, uint64_t ticket)
{
    LogInfo() << "FFEngine::OpenSource" << ": " << UrlForLog(url);
    _FinishRetired();
    return Guarded("FFEngine::OpenSource", false, [&] {
        Lock lock(_mutex);
        // A stop or close since the call began cancels this open, one before it does not.
        _interrupt->Arm(ticket);
        _CloseSource();
        _url = url; // ready (IsReady) only once the open succeeded
        try {
            if (_OpenSource())
                return true;
        } catch (...) {
            _url.clear();
            throw;
        }
        _url.clear();
        return false;
    });
}

std::unique_ptr<IFFSource> FFEngine::_CreateSource(const std::string& url)
{
    if (IsCameraUrl(url)) {
        LogInfo() << "Opening FFRTSPSource";
        auto source = std::make_unique<FFRTSPSource>();
        source->SetSourceSettings(_sourceSettings ? std::make_shared<FFSourceSettings>(*_sourceSettings) : nullptr);
        return source;
    }
    LogInfo() << "Opening FFSource";
    return std::make_unique<FFSource>();
}

bool FFEngine::_OpenSource()
{
    Lock lock(_mutex);
    if (_url.empty()) {
        LogInfo() << "Url empty";
        _lastFailure = OpenFailure::NotFound;
        return false;
    }
    if (_source) {
        LogInfo() << "Source already open";
        return true;
    }
    try {
        _source = _CreateSource(_url);
        _source->SetMessenger(this);
        _source->SetInterrupt(_interrupt, _settings.networkTimeoutSeconds);
        if (!_source->OpenSource(_url)) {
            _lastFailure = _source->LastOpenFailure();
            LogWarn() << "Failed to open source: " << OpenFailureText(_lastFailure);
            _source.reset();
            return false;
        }
        _lastFailure = OpenFailure::None;
        // A source without a duration has no end to wait for: its pictures
        // must not be held back by frame threads.
        _decode.SetLiveSource(_source->GetDuration() <= 0.0);
        // A camera never waits for the reader; how the player keeps up is
        // the live-reading rule. Missed pictures count from this open.
        _decode.SetLiveReading(LiveRuleFor(IsCameraUrl(_url), _settings.liveReading));
        _decode.ResetMissedPictures();
        _publishers.ConnectAll(_source.get(), IsCameraUrl(_url));
        return true;
    } catch (const std::exception& e) {
        _source.reset();
        LogFailure("FFEngine::_OpenSource", e);
        throw;
    }
}

OpenFailure FFEngine::LastOpenFailure() const
{
    Lock lock(_mutex);
    return _lastFailure;
}

void FFEngine::_CloseSourceIfUnused()
{
    Lock lock(_mutex);
    if (_source && _source->IsReading() && !_source->HasDestinations())
        _CloseSource();
}

bool FFEngine::StartPublishing(const std::string& url)
{
    LogInfo() << "FFEngine::StartPublishing" << ": " << UrlForLog(url);
    return Guarded("FFEngine::StartPublishing", false, [&] {
        try {
            Lock lock(_mutex);
            // A serving engine opens its source on demand; so does publishing.
            _OpenSource();
            _publishers.Start(url, _source.get(), IsCameraUrl(_url), this);
            return true;
        } catch (const std::invalid_argument& e) {
            // An output that cannot be made is refused with the reason.
            LogFailure("FFEngine::StartPublishing", e);
            FFPublishStatusArgs args(url, static_cast<int32_t>(PublishState::Failed), e.what());
            SendFFEvent(&args);
            return false;
        }
    });
}

bool FFEngine::StopPublishing(const std::string& url)
{
    LogInfo() << "FFEngine::StopPublishing" << ": " << UrlForLog(url);
    return Guarded("FFEngine::StopPublishing", false, [&] {
        std::unique_ptr<PublishSink> sink;
        {
            Lock lock(_mutex);
            sink = _publishers.Detach(url, _source.get());
        }
        // Outside the engine lock: the output's worker may be raising an
        // event whose handler calls the engine.
        const bool found = sink != nullptr;
        _publishers.Retire(std::move(sink));
        return found;
    });
}

std::vector<PublishStatus> FFEngine::GetPublishingStatus() const
{
    return Guarded("FFEngine::GetPublishingStatus", std::vector<PublishStatus>{},
                   [&] { return _publishers.Statuses(); });
}

void FFEngine::CloseSource()
{
    LogInfo() << "FFEngine::CloseSource";
    InterruptSource();
    // A close job still running after this returns would call into an engine
    // its owner may be deleting already (the facade closes, then deletes).
    WaitForCloseJob();
    _FinishRetired();
    Guarded("FFEngine::CloseSource", [&] { _CloseSource(); });
}

void FFEngine::_CloseSource()
{
    Lock lock(_mutex);
    _StopEngine();
    _Flush();
    if (_source) {
        // Out of the engine's reach at once, and off the graph (the cut waits
        // out a push in progress): the reader feeds nothing from here on. It
        // is joined and closed once every lock is let go.
        std::shared_ptr<IFFSource> source = std::move(_source);
        _source.reset();
        LogInfo() << "FFSource::DisconnectNode";
        source->DisconnectNode();
        CallScope::AfterLocks([this, source] { _RetireSource(source); });
    }
    _audioInterface = nullptr;
    _decode.SetAudioReader(false);
}

void FFEngine::PrepareVideoDecode(int pixelFormat)
{
    LogInfo() << "FFEngine::PrepareVideoDecode" << ": " << pixelFormat;
    Guarded("FFEngine::PrepareVideoDecode", [&] { _PrepareVideoDecode(pixelFormat); });
}

void FFEngine::_PrepareVideoDecode(int pixelFormat)
{
    Lock lock(_mutex);
    _decode.SetColorSpace(pixelFormat);
    LogInfo() << "Connecting FFSource to FFDecode";
    if (_source)
        _source->ConnectNode(&_traffic);
    _traffic.ConnectNode(&_decode);
    _traffic.SetOptimizeSeek(_settings.optimizeSeek);
    _decode.SetOptimizeSeek(_settings.optimizeSeek);
}

void FFEngine::ConfigureEngine(FFEngineSettings settings)
{
    LogInfo() << "FFEngine::ConfigureEngine";
    Guarded("FFEngine::ConfigureEngine", [&] {
        Lock lock(_mutex);
        _settings = settings;
        _traffic.SetOptimizeSeek(settings.optimizeSeek);
        _decode.SetOptimizeSeek(settings.optimizeSeek);
        _decode.SetDecodingThreads(settings.decodingThreads);
        _decode.SetLiveReading(LiveRuleFor(_source && IsCameraUrl(_url), settings.liveReading));
    });
}

uint64_t FFEngine::MissedPictures() const
{
    return _decode.MissedPictures();
}

FFEngineSettings FFEngine::GetEngineConfiguration() const
{
    Lock lock(_mutex);
    return _settings;
}

bool FFEngine::StartEngine(uint64_t ticket)
{
    LogInfo() << "FFEngine::StartEngine";
    // Sources stopped from a handler on their own reader are joined first,
    // with no lock held.
    _FinishRetired();
    _JoinStoppedReader();
    return Guarded("FFEngine::StartEngine", false, [&] {
        {
            Lock lock(_mutex);
            _interrupt->Arm(ticket);
        }
        _StartEngine();
        return true;
    });
}

void FFEngine::_StartEngine()
{
    Lock lock(_mutex);
    if (!_OpenSource())
        throw FFError("Source could not be opened");
    if (_source)
        _source->StartReadThread();
}

void FFEngine::StopEngine()
{
    LogInfo() << "FFEngine::StopEngine";
    InterruptSource();
    _FinishRetired();
    Guarded("FFEngine::StopEngine", [&] { _StopEngine(); });
}

void FFEngine::_StopEngine()
{
    Lock lock(_mutex);
    if (!_source) {
        _traffic.ClearState();
        return;
    }
    // Marked and signalled here; joined once every lock is let go (the
    // reader's handlers may need them), then the traffic state is cleared.
    _source->RequestStop();
    CallScope::AfterLocks([this, source = _source] {
        source->StopReadThread();
        Lock lock(_mutex);
        _traffic.ClearState();
    });
}

bool FFEngine::IsEngineRunning()
{
    return Guarded("FFEngine::IsEngineRunning", false, [&] {
        Lock lock(_mutex);
        return _source && _source->IsReading();
    });
}

bool FFEngine::IsReady() const
{
    return Guarded("FFEngine::IsReady", false, [&] {
        Lock lock(_mutex);
        return !_url.empty();
    });
}

void FFEngine::Flush()
{
    LogInfo() << "FFEngine::Flush";
    Guarded("FFEngine::Flush", [&] { _Flush(); });
}

void FFEngine::_Flush()
{
    Lock lock(_mutex);
    _decode.Flush();
    _traffic.Flush();
}

FFCLIFrame FFEngine::ReadVideo(PictureTarget* target)
{
    FFCLIFrame result;
    try {
        Lock lock(_mutex);
        if (_traffic.MayDeliverPicture()) {
            result = _decode.ReadVideo(target);
            if (result.size > 0)
                _traffic.PictureDelivered();
        } else {
            _traffic.NoPictureTaken();
        }
    } catch (const std::runtime_error& e) {
        LogFailure("FFEngine::ReadVideo", e);
        throw;
    } catch (const std::exception& e) {
        LogFailure("FFEngine::ReadVideo", e);
    }
    return result;
}

template <typename R, typename Query>
R FFEngine::_QuerySource(const char* name, R neutral, Query query) const
{
    const std::string where = std::string("FFEngine::") + name;
    return Guarded(where.c_str(), neutral, [&] {
        Lock lock(_mutex);
        const R v = _source ? query(*_source) : R{};
        // Players ask on every picture: written only when debugging.
        LogDebug() << where << ": " << v;
        return v;
    });
}

int FFEngine::Width() const
{
    return _QuerySource("Width", 0, [](IFFSource& s) { return s.Width(); });
}

int FFEngine::Height() const
{
    return _QuerySource("Height", 0, [](IFFSource& s) { return s.Height(); });
}

int FFEngine::RenderWidth() const
{
    return _QuerySource("RenderWidth", 0, [](IFFSource& s) { return s.RenderWidth(); });
}

int FFEngine::RenderHeight() const
{
    return _QuerySource("RenderHeight", 0, [](IFFSource& s) { return s.RenderHeight(); });
}

double FFEngine::GetDuration() const
{
    return _QuerySource("GetDuration", 0.0, [](IFFSource& s) { return s.GetDuration(); });
}

void FFEngine::Pause()
{
    Guarded("FFEngine::Pause", [&] {
        Lock lock(_mutex);
        _traffic.Pause();
    });
}

bool FFEngine::IsPause() const
{
    return Guarded("FFEngine::IsPause", false, [&] {
        Lock lock(_mutex);
        return _traffic.IsPaused();
    });
}

void FFEngine::Continue()
{
    LogInfo() << "FFEngine::Continue";
    Guarded("FFEngine::Continue", [&] {
        Lock lock(_mutex);
        const double pending = _decode.GetSeekTime();
        _decode.Continue();
        _traffic.Continue();
        // The picture of that seek never came: read again from where it was wanted.
        if (pending > -1.0 && _source) {
            if (_traffic.GetParent())
                _traffic.SeekRequested(pending);
            _source->Seek(pending);
        }
    });
}

bool FFEngine::Seek(double seconds)
{
    return Guarded("FFEngine::Seek", false, [&] { return _Seek(seconds); });
}

bool FFEngine::_Seek(double seconds)
{
    Lock lock(_mutex);
    if (!_decode.IsReadyToSeek()) {
        LogInfo() << "Unable to seek: decoder not ready";
        return false;
    }
    if (_source) {
        // Armed before the request so the marker cannot overtake it; only a
        // connected chain ever sees the marker that disarms it.
        if (_traffic.GetParent())
            _traffic.SeekRequested(seconds);
        _source->Seek(seconds);
        if (!_source->IsReading()) {
            // Show the picture at the new position once, then stay paused.
            Pause();
            _source->StartReadThread();
        }
    }
    return _source != nullptr;
}

bool FFEngine::IsOOB(double seconds, bool& pending) const
{
    return Guarded("FFEngine::IsOOB", false, [&] {
        Lock lock(_mutex);
        return _traffic.IsOOB(pending, seconds);
    });
}

double FFEngine::GetSeekTime() const
{
    return Guarded("FFEngine::GetSeekTime", -1.0, [&] {
        Lock lock(_mutex);
        return _decode.GetSeekTime();
    });
}

void FFEngine::SetSourceSettingsForCamera(std::shared_ptr<FFSourceSettings> settings)
{
    Lock lock(_mutex);
    _sourceSettings = std::move(settings);
    if (_sourceSettings) {
        _settings.decodingThreads = _sourceSettings->decodingThreads;
        _decode.SetDecodingThreads(_settings.decodingThreads);
        _settings.liveReading = _sourceSettings->liveReading;
        _decode.SetLiveReading(LiveRuleFor(_source && IsCameraUrl(_url), _settings.liveReading));
    }
}

} // namespace Quillet

#include "Player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "PngWriter.h"
#include "core/UrlForLog.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Quillet::Player {

namespace {

constexpr double kSeekStepSeconds = 5.0;
// A seek the library never picks up (e.g. before the decoder has its stream
// description) is given up after this long.
constexpr auto kSeekGiveUp = std::chrono::seconds(2);
// Pictures are shown when the clock is within this of their time.
constexpr double kEarlyTolerance = 0.002;

// What the library's threads tell the main loop, as SDL user event codes.
enum LibraryEvent : int {
    kEndOfStream,
    kSourceError,
    kConnected,
    kDisconnected,
    kConnectionLost,
};

const char* Describe(int code)
{
    switch (code) {
    case kEndOfStream: return "end of stream";
    case kSourceError: return "source error";
    case kConnected: return "connection re-established";
    case kDisconnected: return "disconnected";
    case kConnectionLost: return "connection lost";
    default: return "unknown event";
    }
}

// The library's event as one of the codes above, or -1 for events the player ignores.
int ToLibraryEvent(const FFWrapperCLI::EventArgs& e)
{
    using namespace FFWrapperCLI;
    if (const auto* m = dynamic_cast<const FFMessageEventArgs*>(&e)) {
        if (m->message == FFMessageType::EndOfStream)
            return kEndOfStream;
        if (m->message == FFMessageType::SourceError || m->message == FFMessageType::RTSPSourceError)
            return kSourceError;
        return -1;
    }
    if (const auto* c = dynamic_cast<const SourceConnectionStatusArgs*>(&e)) {
        switch (c->status) {
        case FFWrapperCLI::ConnectionStatus::Connected: return kConnected;
        case FFWrapperCLI::ConnectionStatus::ConnectionLost: return kConnectionLost;
        default: return kDisconnected;
        }
    }
    return -1; // sync points belong to recording
}

// Runs on whichever thread the library raises the event on: it only posts to
// SDL's queue, which is safe from any thread.
void PostLibraryEvent(Uint32 type, int code)
{
    SDL_Event event{};
    event.type = type;
    event.user.code = code;
    SDL_PushEvent(&event);
}

std::string Seconds(double t)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << t;
    return out.str();
}

} // namespace

template <typename... T>
void Player::Trace(const T&... parts) const
{
    if (!_options.trace)
        return;
    std::ostringstream line;
    line << std::fixed << std::setprecision(4);
    (line << ... << parts);
    std::cout << line.str() << std::endl;
}

Player::Player(PlayerOptions options) : _options(std::move(options))
{
    _libraryEventType = SDL_RegisterEvents(1);
}

Player::~Player()
{
    Close();
}

int Player::Run()
{
    if (!Open())
        return 1;
    for (;;) {
        // Events first: the end of the stream is reported from inside the
        // last read, and should reach the status line before the player ends.
        bool busy = HandleWindowEvents();
        if (_quit)
            break;
        if (PlayedToTheEnd()) {
            Trace("finished shown ", _picturesShown, " dropped ", _picturesDropped);
            break;
        }
        busy |= FeedAudio();
        busy |= ReadPicture();
        busy |= ShowPictureWhenDue();
        UpdateStatusLine();
        if (!busy)
            SDL_Delay(1);
    }
    Close();
    Trace("exit");
    return 0;
}

bool Player::Open()
{
    // Events first, so that nothing the source reports while opening is missed.
    const Uint32 type = _libraryEventType;
    _player.RegisterFFEventCallback(FFWrapperCLI::ManagedEventDelegate([type](const FFWrapperCLI::EventArgs& e) {
        if (const int code = ToLibraryEvent(e); code >= 0)
            PostLibraryEvent(type, code);
    }));

    if (!_player.OpenSource(_options.source)) {
        std::cerr << "Cannot open " << UrlForLog(_options.source) << ": " << _player.GetOpenFailureReason() << "\n";
        return false;
    }
    _duration = _player.GetDuration();

    // Sound: only when the source has some and the audio device opens.
    int rate = 0, bits = 0, channels = 0;
    if (_options.audio && _player.GetAudioFormat(rate, bits, channels) && bits == 16) {
        try {
            _audio = std::make_unique<SdlAudioOutput>(rate, channels);
        } catch (const std::exception& e) {
            std::cerr << e.what() << "; playing without sound\n";
        }
    }
    _player.EnableAudio(_audio != nullptr);
    _clock = std::make_unique<PlaybackClock>(_audio.get());

    // The window has the picture's display shape (pixels need not be square).
    int width = _player.RenderWidth(), height = _player.RenderHeight();
    if (width <= 0 || height <= 0) {
        width = _player.Width();
        height = _player.Height();
    }
    _window = std::make_unique<VideoWindow>("Quillet player", std::max(width, 160), std::max(height, 120));

    // Pictures as packed 24-bit RGB, which is what the texture takes.
    _player.DecodeVideo(AV_PIX_FMT_RGB24);
    if (!_player.StartEngine()) {
        std::cerr << "Cannot start playing " << UrlForLog(_options.source) << "\n";
        return false;
    }
    // Opening and starting the source forget the audio interface: set it last.
    _player.SetAudioInterface(_audio.get());
    Trace("opened ", UrlForLog(_options.source), " duration ", _duration, " audio ", _audio ? rate : 0, " Hz");
    Trace("window ", _window->X11Id());
    return true;
}

void Player::Close()
{
    // Stop the reading before the sound and the window go; the facade's
    // destructor would do the same, this only makes the order visible.
    _player.StopEngine();
    _player.CloseSource();
    _player.Dispose();
    _audio.reset();
    _window.reset();
}

bool Player::HandleWindowEvents()
{
    bool any = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        any = true;
        if (event.type == SDL_QUIT) {
            // The window was closed (or the process got SIGINT/SIGTERM).
            Trace("quit");
            _quit = true;
        } else if (event.type == SDL_KEYDOWN) {
            OnKey(event.key.keysym.sym);
        } else if (event.type == SDL_WINDOWEVENT && (event.window.event == SDL_WINDOWEVENT_EXPOSED ||
                                                      event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)) {
            _window->Redraw();
        } else if (event.type == _libraryEventType) {
            OnLibraryEvent(event.user.code);
        }
    }
    return any;
}

void Player::OnKey(SDL_Keycode key)
{
    switch (key) {
    case SDLK_q:
        Trace("quit");
        _quit = true;
        break;
    case SDLK_SPACE:
        TogglePause();
        break;
    case SDLK_LEFT:
        SeekBy(-kSeekStepSeconds);
        break;
    case SDLK_RIGHT:
        SeekBy(kSeekStepSeconds);
        break;
    case SDLK_s:
        WriteSnapshot();
        break;
    default:
        break;
    }
}

void Player::OnLibraryEvent(int code)
{
    _lastEvent = Describe(code);
    Trace("event ", _lastEvent);
}

bool Player::FeedAudio()
{
    // Until the first picture of a new position comes, sound from before the
    // seek could still arrive; the device waits for that picture anyway.
    if (!_audio || _awaitingSeek || _paused)
        return false;
    bool fed = false;
    while (_audio->WantsAudio()) {
        const double blockTime = _player.ReadAudioFromInterface();
        if (blockTime < 0.0)
            break;
        _audio->LastBlockStartsAt(blockTime);
        fed = true;
    }
    return fed;
}

bool Player::ReadPicture()
{
    if (_haveNext || _endOfStream)
        return false;
    if (_awaitingSeek && _player.GetSeekTime() < 0.0 && Clock::now() - _seekRequested > kSeekGiveUp) {
        Trace("seek to ", _seekTarget, " was not taken up");
        _awaitingSeek = false;
    }
    const int size = _player.ReadFrameGetSize(&_next);
    if (size < 0) {
        _endOfStream = true;
        Trace("end of stream");
        return true;
    }
    if (size == 0)
        return false;
    // The interval between pictures read in a row, which dropped ones do not stretch.
    const double step = _next.frameTime - _lastReadTime;
    if (!_next.firstFrame && step > 0.001 && step < 0.5)
        _frameInterval = step;
    _lastReadTime = _next.frameTime;
    if (_awaitingSeek) {
        if (!_next.firstFrame) {
            Trace("stale ", _next.frameTime);
            return true;
        }
        _awaitingSeek = false;
        Trace("landed ", _next.frameTime, " wanted ", _seekTarget);
    }
    _haveNext = true;
    return true;
}

bool Player::ShowPictureWhenDue()
{
    if (!_haveNext)
        return false;
    const double t = _next.frameTime;
    if (_paused) {
        // While paused only the picture a seek lands on is shown.
        if (!_next.firstFrame)
            return false;
        Present();
        _clock->StartAt(t);
        _clock->Pause();
        Trace("picture ", t, " while paused");
        return true;
    }
    if (!_clock->IsStarted()) {
        // The first picture after the start or a seek sets the clock, and the
        // sound starts with it.
        Present();
        _clock->StartAt(t);
        if (_audio)
            _audio->Play();
        Trace("picture ", t, " starts the clock");
        return true;
    }
    const double now = _clock->Now();
    const double late = now - t;
    if (late < -kEarlyTolerance)
        return false;
    if (late > _frameInterval) {
        // Behind by more than a picture: catch up rather than show it late.
        ++_picturesDropped;
        _haveNext = false;
        Trace("dropped ", t, " clock ", now);
        return true;
    }
    Present();
    Trace("picture ", t, " clock ", now, " drift ", t - now, _clock->FollowsAudio() ? " audio" : " wall");
    return true;
}

void Player::Present()
{
    std::swap(_shown, _next);
    _haveShown = true;
    _haveNext = false;
    ++_picturesShown;
    _window->Show(_shown.frame.data(), _shown.width, _shown.height);
}

bool Player::PlayedToTheEnd() const
{
    // The library has given its last picture; wait for the sound to play out.
    return _endOfStream && !_haveNext && (!_audio || _audio->QueuedSeconds() <= 0.0);
}

void Player::TogglePause()
{
    if (_endOfStream)
        return;
    if (!_paused) {
        _player.Pause();
        if (_audio)
            _audio->Pause();
        _clock->Pause();
        _paused = true;
        Trace("paused ", _shown.frameTime);
        return;
    }
    // A seek made while paused is still open in the library; continuing
    // reads again from the picture it landed on, which is a seek of its own.
    const double pendingSeek = _player.GetSeekTime();
    _player.Continue();
    _paused = false;
    if (pendingSeek >= 0.0) {
        ForgetPositionForSeek(pendingSeek);
    } else {
        _clock->Continue();
        if (_audio)
            _audio->Play();
    }
    Trace("continued ", _shown.frameTime);
}

void Player::SeekBy(double seconds)
{
    // Before the first picture there is no position to seek from, and the
    // stream's own first picture would pass for the landing of the seek.
    if (_endOfStream || !_haveShown)
        return;
    if (_duration <= 0.0) {
        _lastEvent = "a live source cannot seek";
        return;
    }
    // Repeated presses add up from the position last asked for.
    const double pending = _player.GetSeekTime();
    const double from = pending >= 0.0 ? pending : _awaitingSeek ? _seekTarget : _shown.frameTime;
    // Not right at the end: there must be a picture to land on.
    const double target = std::clamp(from + seconds, 0.0, std::max(0.0, _duration - 0.5));
    _player.Seek(target);
    ForgetPositionForSeek(target);
    Trace("seek ", target);
}

void Player::ForgetPositionForSeek(double target)
{
    _awaitingSeek = true;
    _seekTarget = target;
    _seekRequested = Clock::now();
    _haveNext = false;
    _clock->Reset();
    if (_audio) {
        _audio->Pause();
        _audio->Clear();
    }
}

void Player::WriteSnapshot()
{
    if (!_haveShown)
        return;
    const std::string path =
        _options.snapshotDir + "/snapshot-" + std::to_string(std::lround(_shown.frameTime * 1000)) + "ms.png";
    try {
        Tools::WritePng(path, _shown.frame.data(), _shown.width, _shown.height);
        _lastEvent = "snapshot " + path;
        std::cout << "Snapshot of " << _shown.frameTime << " s written to " << path << std::endl;
        Trace("snapshot ", path, " ", _shown.frameTime);
    } catch (const std::exception& e) {
        _lastEvent = "snapshot failed";
        std::cerr << e.what() << "\n";
    }
}

void Player::UpdateStatusLine()
{
    std::string status = "Quillet player | " + Seconds(_haveShown ? _shown.frameTime : 0.0) + " / " +
                         (_duration > 0.0 ? Seconds(_duration) + " s" : std::string("live"));
    if (_paused)
        status += " | paused";
    if (const double seek = _player.GetSeekTime(); seek >= 0.0)
        status += " | seek pending " + Seconds(seek) + " s";
    else if (_awaitingSeek)
        status += " | seek pending " + Seconds(_seekTarget) + " s";
    if (!_lastEvent.empty())
        status += " | " + _lastEvent;
    _window->SetTitle(status);
}

} // namespace Quillet::Player

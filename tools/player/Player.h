#pragma once
// The reference player: one source played through the player facade
// (Quillet::FFWrapperCLI::FFWrapper) into an SDL window and audio device.
//
// Everything runs on the main thread in one loop: window events and keys,
// sound for the audio device, the next picture from the library, and showing
// it when the clock reaches its time. The library's own threads only ever
// post events into SDL's queue.
#include <chrono>
#include <memory>
#include <string>

#include <SDL.h>

#include "PlaybackClock.h"
#include "SdlAudioOutput.h"
#include "VideoWindow.h"
#include "facade/FFWrapper.h"

namespace Quillet::Player {

struct PlayerOptions {
    std::string source;       // file, URL or camera (rtsp://...)
    bool audio = true;        // play the sound when the source has any
    bool trace = false;       // one line per picture and per action on stdout
    std::string snapshotDir = ".";
};

class Player {
public:
    explicit Player(PlayerOptions options);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Plays until the end of the stream, `q` or the window is closed.
    // Returns the process exit code.
    int Run();

private:
    using FrameData = FFWrapperCLI::FrameData;
    using Clock = std::chrono::steady_clock;

    bool Open();
    void Close();

    // One turn of the loop each; true when they did something.
    bool HandleWindowEvents();
    bool FeedAudio();
    bool ReadPicture();
    bool ShowPictureWhenDue();
    bool PlayedToTheEnd() const;
    void UpdateStatusLine();

    void OnKey(SDL_Keycode key);
    void OnLibraryEvent(int code);
    void TogglePause();
    void SeekBy(double seconds);
    void ForgetPositionForSeek(double target);
    void WriteSnapshot();
    void Present();

    template <typename... T>
    void Trace(const T&... parts) const;

    PlayerOptions _options;
    Uint32 _libraryEventType = 0;

    // Declared before the facade: the engine keeps a pointer to the audio
    // output, so the facade must go first.
    std::unique_ptr<SdlAudioOutput> _audio;
    std::unique_ptr<PlaybackClock> _clock;
    std::unique_ptr<VideoWindow> _window;
    FFWrapperCLI::FFWrapper _player{"player"};

    // The picture on screen and the next one, read but not yet due. Both keep
    // their storage: the facade copies into it in place.
    FrameData _shown;
    FrameData _next;
    bool _haveShown = false;
    bool _haveNext = false;
    double _frameInterval = 0.04;
    double _lastReadTime = 0.0;

    bool _paused = false;
    bool _quit = false;
    bool _endOfStream = false;
    // After a seek, pictures from before it may still come; the first picture
    // of the new position is marked firstFrame.
    bool _awaitingSeek = false;
    double _seekTarget = 0.0;
    Clock::time_point _seekRequested{};
    double _duration = 0.0;
    std::string _lastEvent;
    int _picturesShown = 0;
    int _picturesDropped = 0;
};

} // namespace Quillet::Player

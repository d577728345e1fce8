#pragma once
// The clock pictures are paced by. While sound is being heard it is the audio
// clock, so pictures follow the sound; without sound (no audio stream, audio
// off, or the sound has run out) it runs on the wall clock from where the
// audio clock last was.
#include <chrono>

namespace Quillet::Player {

class SdlAudioOutput;

class PlaybackClock {
public:
    // `audio` may be null: then the wall clock alone.
    explicit PlaybackClock(const SdlAudioOutput* audio) : _audio(audio) {}

    // Unknown until the first picture after a start or a seek calls StartAt,
    // which sets it running from that picture's time.
    bool IsStarted() const { return _started; }
    void StartAt(double mediaTime);
    void Reset() { _started = false; }

    void Pause();
    void Continue();

    // Media time now; also re-anchors the wall clock on the audio clock.
    double Now();
    // True when the last Now() came from the sound.
    bool FollowsAudio() const { return _followsAudio; }

private:
    using Wall = std::chrono::steady_clock;

    const SdlAudioOutput* _audio;
    bool _started = false;
    bool _paused = false;
    bool _followsAudio = false;
    double _anchorMedia = 0.0;
    Wall::time_point _anchorWall{};
};

} // namespace Quillet::Player

#include "PlaybackClock.h"

#include "SdlAudioOutput.h"

namespace Quillet::Player {

void PlaybackClock::StartAt(double mediaTime)
{
    _started = true;
    _paused = false;
    _anchorMedia = mediaTime;
    _anchorWall = Wall::now();
}

void PlaybackClock::Pause()
{
    if (_paused)
        return;
    _anchorMedia = Now();
    _paused = true;
}

void PlaybackClock::Continue()
{
    if (!_paused)
        return;
    _paused = false;
    _anchorWall = Wall::now();
}

double PlaybackClock::Now()
{
    _followsAudio = false;
    if (_paused)
        return _anchorMedia;
    const auto now = Wall::now();
    if (_audio && _audio->QueuedSeconds() > 0.0) {
        const double heard = _audio->Clock();
        if (heard >= 0.0) {
            _followsAudio = true;
            _anchorMedia = heard;
            _anchorWall = now;
            return heard;
        }
    }
    return _anchorMedia + std::chrono::duration<double>(now - _anchorWall).count();
}

} // namespace Quillet::Player

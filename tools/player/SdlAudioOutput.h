#pragma once
// Sound for the player: an AudioInterface on an SDL audio device.
//
// The engine fills the buffers this class hands out with 16-bit interleaved
// PCM; they are queued on the device with SDL_QueueAudio. The class also keeps
// the audio clock: the media time of the sample the listener hears now, which
// the player paces its pictures by.
#include <SDL.h>

#include "engine/AudioInterface.h"

namespace Quillet::Player {

class SdlAudioOutput : public AudioInterface {
public:
    // Opens the default output device for 16-bit PCM at `rate` Hz; throws
    // std::runtime_error when SDL cannot. The device starts paused.
    SdlAudioOutput(int rate, int channels);
    ~SdlAudioOutput() override;
    SdlAudioOutput(const SdlAudioOutput&) = delete;
    SdlAudioOutput& operator=(const SdlAudioOutput&) = delete;

    // AudioInterface: the engine calls these from FFWrapper::ReadAudioFromInterface.
    bool WantsAudio() override;
    AudioBufferList GetBuffers() override;
    void SubmitBuffers(AudioBufferList filled) override;

    // ReadAudioFromInterface returns the media time of the last block it
    // filled; telling it here lets the clock know where the queue ends.
    void LastBlockStartsAt(double mediaTime);

    // Media time now being heard, or a negative value while nothing is queued
    // with a known time (at the start and after Clear).
    double Clock() const;
    // Seconds of sound queued but not yet heard.
    double QueuedSeconds() const;

    void Play();
    void Pause();
    // Drops everything queued (after a seek the queued sound is from the old position).
    void Clear();

private:
    double BytesToSeconds(double bytes) const { return bytes / _bytesPerSecond; }

    SDL_AudioDeviceID _device = 0;
    double _bytesPerSecond = 0.0;
    // Bytes the device takes from the queue at a time; they are in flight, not yet heard.
    Uint32 _deviceBufferBytes = 0;
    // How much sound to keep queued ahead of the listener.
    Uint32 _leadBytes = 0;
    size_t _lastBlockBytes = 0;
    // Media time of the end of the queue; negative when unknown.
    double _queueEndTime = -1.0;
};

} // namespace Quillet::Player

#include "SdlAudioOutput.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Quillet::Player {

namespace {

// Sound decoders hand out blocks of about this size (an AAC frame of 1024
// stereo samples is 4096 bytes); a buffer of a different size is resized by
// the engine, so this only saves reallocations.
constexpr size_t kBufferBytes = 4096;
constexpr size_t kBuffersPerCall = 4;
constexpr double kLeadSeconds = 0.15;

} // namespace

SdlAudioOutput::SdlAudioOutput(int rate, int channels)
{
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(channels);
    want.samples = 1024;
    want.callback = nullptr; // queued with SDL_QueueAudio
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts to whatever the hardware wants, so the
    // queue is always in the engine's format.
    _device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (_device == 0)
        throw std::runtime_error(std::string("Cannot open the audio device: ") + SDL_GetError());
    _bytesPerSecond = static_cast<double>(rate) * channels * 2;
    _deviceBufferBytes = static_cast<Uint32>(have.samples) * static_cast<Uint32>(channels) * 2;
    _leadBytes = static_cast<Uint32>(_bytesPerSecond * kLeadSeconds);
}

SdlAudioOutput::~SdlAudioOutput()
{
    SDL_CloseAudioDevice(_device);
}

bool SdlAudioOutput::WantsAudio()
{
    return SDL_GetQueuedAudioSize(_device) < _leadBytes;
}

AudioBufferList SdlAudioOutput::GetBuffers()
{
    AudioBufferList buffers;
    for (size_t i = 0; i < kBuffersPerCall; ++i)
        buffers.push_back(std::make_shared<std::vector<uint8_t>>(kBufferBytes));
    return buffers;
}

void SdlAudioOutput::SubmitBuffers(AudioBufferList filled)
{
    for (const auto& buffer : filled) {
        if (SDL_QueueAudio(_device, buffer->data(), static_cast<Uint32>(buffer->size())) == 0)
            _lastBlockBytes = buffer->size();
    }
}

void SdlAudioOutput::LastBlockStartsAt(double mediaTime)
{
    _queueEndTime = mediaTime + BytesToSeconds(static_cast<double>(_lastBlockBytes));
}

double SdlAudioOutput::QueuedSeconds() const
{
    return BytesToSeconds(static_cast<double>(SDL_GetQueuedAudioSize(_device)));
}

double SdlAudioOutput::Clock() const
{
    if (_queueEndTime < 0.0)
        return -1.0;
    // What the device has taken from the queue is still being played out.
    const double unheard = static_cast<double>(SDL_GetQueuedAudioSize(_device)) + _deviceBufferBytes;
    return _queueEndTime - BytesToSeconds(unheard);
}

void SdlAudioOutput::Play()
{
    SDL_PauseAudioDevice(_device, 0);
}

void SdlAudioOutput::Pause()
{
    SDL_PauseAudioDevice(_device, 1);
}

void SdlAudioOutput::Clear()
{
    SDL_ClearQueuedAudio(_device);
    _queueEndTime = -1.0;
}

} // namespace Quillet::Player

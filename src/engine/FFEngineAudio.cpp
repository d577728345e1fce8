// The engine's sound: the audio host's pull (ReadAudioFromInterface, on the
// host's thread) and the application's reads. Sound reads do not take
// `_mutex`, which a picture read holds through a whole decode.
#include "engine/FFEngine.h"

#include "engine/EngineLock.h"
#include "engine/FFEngineGuarded.h"

namespace Quillet {

using Lock = EngineLock;

void FFEngine::SetAudioInterface(AudioInterface* audioInterface)
{
    _audioInterface = audioInterface;
    Guarded("FFEngine::SetAudioInterface", [&] {
        Lock lock(_mutex);
        _decode.SetAudioReader(audioInterface != nullptr);
    });
}

void FFEngine::EnableAudio(bool enable)
{
    Guarded("FFEngine::EnableAudio", [&] {
        Lock lock(_mutex);
        _decode.EnableAudio(enable);
        LogInfo() << "FFEngine::EnableAudio" << ": " << enable;
    });
}

bool FFEngine::IsAudio() const
{
    return Guarded("FFEngine::IsAudio", false, [&] {
        Lock lock(_mutex);
        const bool v = _source && _source->HasAudio();
        LogInfo() << "FFEngine::IsAudio" << ": " << v;
        return v;
    });
}

bool FFEngine::GetAudioFormat(int* rate, int* bits, int* channels) const
{
    return Guarded("FFEngine::GetAudioFormat", false, [&] {
        Lock lock(_mutex);
        const bool v = _source && _source->GetAudioFormat(rate, bits, channels);
        LogInfo() << "FFEngine::GetAudioFormat" << ": " << v;
        return v;
    });
}

double FFEngine::ReadAudioFromInterface()
{
    return Guarded("FFEngine::ReadAudioFromInterface", -1.0, [&] {
        // The host's slots are called without the engine lock, so a slow host
        // never holds up picture reads; only filling the buffers takes it. The
        // pointer is read once: a close that forgets the host meanwhile does
        // not end the host's life, only the next call's use of it.
        AudioInterface* host = _audioInterface.load();
        if (!host || !host->WantsAudio())
            return -1.0;
        double time = -1.0;
        AudioBufferList filled = ReadAudio(host->GetBuffers(), &time);
        if (filled.empty())
            time = -1.0;
        host->SubmitBuffers(std::move(filled));
        return time;
    });
}

AudioBufferList FFEngine::ReadAudio(AudioBufferList buffers, double* time)
{
    // Not under `_mutex`: a picture read holds it through a whole decode.
    // The traffic node and the decoder keep their own locks, and the decoder
    // keeps sound reads apart from what empties or restarts its sound codec.
    return Guarded("FFEngine::ReadAudio", AudioBufferList{}, [&] {
        if (!_traffic.MayDeliverAudio())
            return AudioBufferList{};
        return _decode.ReadAudio(std::move(buffers), time);
    });
}

} // namespace Quillet

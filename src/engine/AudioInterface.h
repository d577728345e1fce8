#pragma once
// The host application's audio sink. The engine asks whether the host wants
// audio, takes the buffers it offers, fills them with 16-bit PCM and hands
// back the ones it filled. The engine calls these on the host's audio thread
// (inside ReadAudioFromInterface), without holding any library lock.
#include "decode/FFDecode.h"

namespace Quillet {

class AudioInterface {
public:
    virtual ~AudioInterface() = default;
    // True when the host can take more audio now.
    virtual bool WantsAudio() = 0;
    // Buffers to fill, each sized to the number of PCM bytes wanted in it.
    virtual AudioBufferList GetBuffers() = 0;
    // The buffers that were filled, in order (possibly none).
    virtual void SubmitBuffers(AudioBufferList filled) = 0;
};

} // namespace Quillet

#pragma once
// The host application's audio sink. The engine asks whether the host wants
// audio, takes the buffers it offers, fills them with 16-bit PCM and hands
// back the ones it filled. The engine calls these on the host's audio thread
// (inside ReadAudioFromInterface) holding no library lock at all; the call
// keeps its own reference to the engine, so a Dispose meanwhile does not pull
// it away.
// Public: applications implement it, so it includes only the public buffer list.
#include "../decode/AudioBuffers.h"
#include "../Export.h"

namespace Quillet {

/// The host application's audio sink, handed to FFWrapperCLI::FFWrapper::SetAudioInterface.
///
/// The library asks whether the host wants audio, takes the buffers the host offers, fills them
/// with interleaved signed 16-bit PCM in the format FFWrapper::GetAudioFormat reports and hands
/// back the ones it filled.
///
/// Threads: all three operations are called on the application thread that calls
/// FFWrapper::ReadAudioFromInterface, one at a time, with no library lock held: they may call any
/// facade, this one's Dispose included (the read in progress keeps the engine until it returns).
/// The object must outlive its use: until SetAudioInterface(nullptr), CloseSource or disposal.
class QUILLET_EXPORT AudioInterface {
public:
    virtual ~AudioInterface() = default;
    /// True when the host can take more audio now; false skips this read.
    virtual bool WantsAudio() = 0;
    /// Buffers to fill, each sized to the number of PCM bytes wanted in it.
    virtual AudioBufferList GetBuffers() = 0;
    /// The buffers that were filled, in order and resized to the bytes written (possibly none).
    virtual void SubmitBuffers(AudioBufferList filled) = 0;
};

} // namespace Quillet

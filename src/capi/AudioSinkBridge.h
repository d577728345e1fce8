#pragma once
// The host's C sound sink (quillet_audio_sink callbacks) as the facade's
// AudioInterface. The library fills buffers of its own sized as the host
// offered; SubmitBuffers copies them into the host's memory and hands the
// host its buffers back.
//
// One bridge lives as long as its player; setting another sink swaps what it
// calls, so a read on another thread that still uses the bridge never meets
// a freed object.
//
// Threads: the three operations run on the thread inside
// quillet_player_read_audio(), with no lock held (the engine calls the host
// without its locks); several threads may read at once. What one read
// offered lives in that thread's storage from GetBuffers to SubmitBuffers,
// with the sink it was offered by. Set runs on any thread. `_lock` guards
// `_sink` only; no callback runs under it.
#include <memory>
#include <mutex>
#include <vector>

#include "engine/AudioInterface.h"
#include "quillet.h"

namespace Quillet::CApi {

class AudioSinkBridge : public Quillet::AudioInterface {
public:
    // The most buffers offered at once.
    static constexpr int kMaxBuffers = 64;

    // Copies `sink` (null: none) for the reads that begin from now on.
    void Set(const quillet_audio_sink* sink);

    bool WantsAudio() override;
    AudioBufferList GetBuffers() override;
    void SubmitBuffers(AudioBufferList filled) override;

private:
    std::shared_ptr<const quillet_audio_sink> Current() const;

    mutable std::mutex _lock;
    std::shared_ptr<const quillet_audio_sink> _sink;
};

} // namespace Quillet::CApi

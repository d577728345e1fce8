#pragma once
// The host's C sound sink (quillet_audio_sink callbacks) as the facade's
// AudioInterface. The library fills buffers of its own sized as the host
// offered; SubmitBuffers copies them into the host's memory and hands the
// host its buffers back.
//
// Threads: all three operations run on the thread inside
// quillet_player_read_audio() (the facade calls them one at a time under its
// monitor); `_offered` and `_ours` belong to that call. No lock of its own.
#include <memory>
#include <vector>

#include "engine/AudioInterface.h"
#include "quillet.h"

namespace Quillet::CApi {

class AudioSinkBridge : public Quillet::AudioInterface {
public:
    // The most buffers offered at once.
    static constexpr int kMaxBuffers = 64;

    explicit AudioSinkBridge(const quillet_audio_sink& sink) : _sink(sink) {}

    bool WantsAudio() override;
    AudioBufferList GetBuffers() override;
    void SubmitBuffers(AudioBufferList filled) override;

private:
    quillet_audio_sink _sink;
    // The host's buffers of the current read, and the library's stand-ins, by index.
    std::vector<quillet_audio_buffer> _offered;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> _ours;
};

} // namespace Quillet::CApi

#pragma once
// An audio sink for the player facade that writes the PCM it receives to a
// WAV file (16-bit, the stream's rate and channel count).
#include <cstdio>
#include <string>

#include "engine/AudioInterface.h"

namespace Quillet::Tools {

class WavWriter : public AudioInterface {
public:
    WavWriter(const std::string& path, int rate, int channels);
    ~WavWriter() override;

    bool WantsAudio() override { return _file != nullptr; }
    AudioBufferList GetBuffers() override;
    void SubmitBuffers(AudioBufferList filled) override;

    uint64_t BytesWritten() const { return _bytes; }

private:
    void WriteHeader();

    std::FILE* _file;
    int _rate;
    int _channels;
    uint64_t _bytes = 0;
};

} // namespace Quillet::Tools

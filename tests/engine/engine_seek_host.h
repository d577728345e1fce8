#pragma once
// A host audio sink for the engine tests: offers a fixed set of buffers and
// keeps every byte handed back, with the times the engine reported.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/AudioInterface.h"

namespace EngineSeekTest {

class RecordingHost : public Quillet::AudioInterface {
public:
    explicit RecordingHost(size_t bufferBytes = 4096, int buffersPerCall = 2)
        : _bufferBytes(bufferBytes), _buffersPerCall(buffersPerCall)
    {
    }

    bool WantsAudio() override
    {
        ++askedWants;
        return wants.load();
    }

    Quillet::AudioBufferList GetBuffers() override
    {
        Quillet::AudioBufferList list;
        for (int i = 0; i < _buffersPerCall; ++i)
            list.push_back(std::make_shared<std::vector<uint8_t>>(_bufferBytes));
        return list;
    }

    void SubmitBuffers(Quillet::AudioBufferList filled) override
    {
        std::lock_guard<std::mutex> guard(_lock);
        ++submits;
        if (filled.empty())
            ++emptySubmits;
        for (const auto& b : filled)
            pcm.insert(pcm.end(), b->begin(), b->end());
    }

    std::vector<int16_t> Samples() const
    {
        std::lock_guard<std::mutex> guard(_lock);
        std::vector<int16_t> s(pcm.size() / 2);
        if (!s.empty())
            std::memcpy(s.data(), pcm.data(), s.size() * 2);
        return s;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> guard(_lock);
        pcm.clear();
    }

    std::atomic<bool> wants{true};
    std::atomic<int> askedWants{0};
    int submits = 0;
    int emptySubmits = 0;

private:
    size_t _bufferBytes;
    int _buffersPerCall;
    mutable std::mutex _lock;
    std::vector<uint8_t> pcm;
};

} // namespace EngineSeekTest

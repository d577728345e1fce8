#pragma once
// Driving an FFEngine from a test as an application would: taking pictures
// by polling, a host audio sink that keeps what it is given, and the
// decoding-thread settings the playback and seek tables run under.
//
// Threads: everything here runs on the test's thread except the sink's slots,
// which the engine calls on the thread that reads audio; the sink's byte store
// is guarded by its own mutex.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/AudioInterface.h"
#include "engine/FFEngine.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

namespace Quillet::Testing {

using namespace std::chrono_literals;

inline uint64_t Fnv1a(const std::vector<uint8_t>& bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (uint8_t b : bytes)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

// What one ReadVideo gave, copied out of the reused picture.
struct Shown {
    int size = 0;
    int status = 0;
    double time = -1.0;
    bool first = false;
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

inline Shown Take(const FFCLIFrame& f)
{
    Shown s;
    s.size = f.size;
    s.status = f.status;
    if (f.size > 0 && f.frame) {
        s.time = f.frame->GetFrameTime();
        s.first = f.frame->GetFirstFrame();
        s.width = f.frame->CFrame()->width;
        s.height = f.frame->CFrame()->height;
        s.pixels.resize(static_cast<size_t>(f.size));
        f.frame->CopyFrame(s.pixels.data());
    }
    return s;
}

// Reads until a picture (or the end marker) comes; size 0 when none came in time.
template <typename Engine>
Shown NextPicture(Engine& engine, std::chrono::milliseconds limit = 10000ms)
{
    Shown last;
    WaitFor([&] { return (last = Take(engine.ReadVideo())).size != 0; }, limit);
    return last;
}

// A host audio sink: offers a fixed set of buffers and keeps every byte
// handed back.
class RecordingHost : public AudioInterface {
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

    AudioBufferList GetBuffers() override
    {
        AudioBufferList list;
        for (int i = 0; i < _buffersPerCall; ++i)
            list.push_back(std::make_shared<std::vector<uint8_t>>(_bufferBytes));
        return list;
    }

    void SubmitBuffers(AudioBufferList filled) override
    {
        std::lock_guard<std::mutex> guard(_lock);
        ++submits;
        if (filled.empty())
            ++emptySubmits;
        for (const auto& b : filled)
            _pcm.insert(_pcm.end(), b->begin(), b->end());
    }

    std::vector<int16_t> Samples() const
    {
        std::lock_guard<std::mutex> guard(_lock);
        std::vector<int16_t> s(_pcm.size() / 2);
        if (!s.empty())
            std::memcpy(s.data(), _pcm.data(), s.size() * 2);
        return s;
    }

    std::atomic<bool> wants{true};
    std::atomic<int> askedWants{0};
    int submits = 0;
    int emptySubmits = 0;

private:
    size_t _bufferBytes;
    int _buffersPerCall;
    mutable std::mutex _lock;
    std::vector<uint8_t> _pcm;
};

// The reading thread alone (1) and automatic (0: frame threads for files), so
// every exactness check also holds with pictures held back by codec threads.
inline auto DecodingThreadsUnderTest() { return ::testing::Values(1, 0); }

// "OneThread" / "AutoThreads", for parameter names.
inline std::string DecodingThreadsName(int threads) { return threads == 1 ? "OneThread" : "AutoThreads"; }

inline void UseDecodingThreads(FFEngine& engine, int threads)
{
    FFEngineSettings settings = engine.GetEngineConfiguration();
    settings.decodingThreads = threads;
    engine.ConfigureEngine(settings);
}

} // namespace Quillet::Testing

#pragma once
// Helpers for recording through the engine and the facade: clips with
// B-frames, a camera-like source that plays a script of records (codec
// changes, lost connections) into the engine, waiting for a recording to
// end, and the checks every recorded file must pass.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <variant>

#include "RecordTestSupport.h"
#include "engine/FFFileEngine.h"
#include "source/IFFSource.h"

namespace RecordTest {

using namespace std::chrono_literals;

// H.264 with two B-frames (ffmpeg's usual output, stream time base 1/12800)
// and AAC. The video starts 0.2 s after the sound, so a recording has sound
// to drop before its first key packet.
inline std::string BFrameClip(const std::string& name, int seconds, int gop)
{
    if (!std::filesystem::exists(name)) {
        const std::string temp = "tmp" + std::to_string(getpid()) + "_" + name;
        const std::string err = Shell(
            "ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
            "sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) +
            " -vf setpts=PTS+0.2/TB -c:v libx264 -bf 2 -g " + std::to_string(gop) + " -sc_threshold 0 -c:a aac " + temp +
            " 2>&1");
        std::error_code ec;
        std::filesystem::rename(temp, name, ec);
        EXPECT_TRUE(std::filesystem::exists(name)) << err;
    }
    return name;
}

inline std::vector<std::shared_ptr<FFPacket>> VideoPackets(const Demuxed& d)
{
    std::vector<std::shared_ptr<FFPacket>> v;
    for (const auto& p : d.packets)
        if (IsVideo(p))
            v.push_back(p);
    return v;
}

// Waits until the engine neither writes nor waits to write (the file was
// closed at end of stream); false when that does not happen in time.
inline bool WaitUntilSaved(const std::function<bool(bool*)>& isVideoSave, std::chrono::seconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        bool pending = false;
        if (!isVideoSave(&pending) && !pending)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 20000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// What every recorded file must satisfy whatever the container: readable
// without complaint, starting with a key packet, decode times (where the
// container keeps them; Matroska keeps presentation times only) strictly
// increasing, no picture shown before it is decoded, sound in order.
inline void ExpectWellFormed(const ProbeResult& r, const std::string& name)
{
    EXPECT_TRUE(r.errors.empty()) << name << ": " << r.errors;
    ASSERT_FALSE(r.video.empty()) << name;
    EXPECT_TRUE(r.video.front().key) << name;
    double lastDts = -INFINITY;
    for (size_t i = 0; i < r.video.size(); ++i) {
        const Probed& p = r.video[i];
        if (p.size == 0 || std::isnan(p.dts))
            continue; // a container's filler entry, or no decode time kept
        EXPECT_GT(p.dts, lastDts) << name << " video dts at " << i;
        lastDts = p.dts;
        if (!std::isnan(p.pts)) {
            EXPECT_GE(p.pts, p.dts - 1e-9) << name << " video pts before dts at " << i;
        }
    }
    lastDts = -INFINITY;
    for (size_t i = 0; i < r.audio.size(); ++i) {
        EXPECT_GE(r.audio[i].dts, 0.0) << name << " audio before the file's start at " << i;
        EXPECT_GT(r.audio[i].dts, lastDts) << name << " audio dts at " << i;
        lastDts = r.audio[i].dts;
    }
}

// The written video keeps the source's timing, moved so that the first
// packet's decode time is 0: each timestamp the container kept equals the
// source's minus the first packet's decode time (to the container's
// millisecond where it rounds).
inline void ExpectSourceTiming(const ProbeResult& r, const std::vector<std::shared_ptr<FFPacket>>& source,
                               AVRational tb, const std::string& name)
{
    std::vector<Probed> written;
    for (const auto& p : r.video)
        if (p.size > 0)
            written.push_back(p);
    ASSERT_EQ(written.size(), source.size()) << name;
    const int64_t start = source.front()->Get()->dts;
    ASSERT_FALSE(std::isnan(written.front().dts) && std::isnan(written.front().pts)) << name;
    for (size_t i = 0; i < written.size(); ++i) {
        const AVPacket* s = source[i]->Get();
        if (!std::isnan(written[i].dts)) {
            EXPECT_NEAR(written[i].dts, static_cast<double>(s->dts - start) * av_q2d(tb), 0.0011) << name << " dts " << i;
        }
        if (!std::isnan(written[i].pts)) {
            EXPECT_NEAR(written[i].pts, static_cast<double>(s->pts - start) * av_q2d(tb), 0.0011) << name << " pts " << i;
        }
    }
}

// Whether ffmpeg decodes the whole file without an error.
inline std::string DecodeErrors(const std::string& path)
{
    return Shell("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
}

// A live source without a network: plays a script of records into the
// graph on its own read thread, as the camera source would, and ends with an
// end-of-stream marker. Steps may also run an action on the read thread.
class ScriptedSource : public IFFSource {
public:
    using Action = std::function<void()>;
    using Step = std::variant<std::shared_ptr<FFData>, Action>;

    ScriptedSource(std::shared_ptr<FFAVCodec> codec, std::vector<Step> script)
        : _codec(std::move(codec)), _script(std::move(script))
    {
    }
    ~ScriptedSource() override { StopReadThread(); }

    std::shared_ptr<FFData> GetMetaInfo() override
    {
        std::lock_guard<std::mutex> guard(_codecLock);
        return _codec;
    }
    bool OpenSource(const std::string&) override { return _open = true; }
    void SetSourceSettings(std::shared_ptr<FFSourceSettings>) override {}
    void CloseSource() override { _open = false; }
    void StartReadThread() override
    {
        if (_running || !_open)
            return;
        _running = true;
        _thread = std::thread([this] { _Play(); });
    }
    void StopReadThread() override
    {
        _running = false;
        if (_thread.joinable())
            _thread.join();
    }
    bool IsReading() override { return _running; }
    bool IsOpen() override { return _open; }
    int Width() override { return 160; }
    int Height() override { return 120; }
    int RenderWidth() override { return 160; }
    int RenderHeight() override { return 120; }
    bool HasAudio() override { return true; }
    bool GetAudioFormat(int*, int*, int*) override { return false; }
    double GetDuration() override { return 0.0; }
    void Seek(double) override {}

    std::atomic<bool> finished{false};

private:
    void _Play()
    {
        for (const Step& step : _script) {
            if (!_running)
                return;
            if (const auto* action = std::get_if<Action>(&step)) {
                (*action)();
                continue;
            }
            const auto& record = std::get<std::shared_ptr<FFData>>(step);
            if (record->GetType() == FFType::AVCodec) {
                // A changed configuration is also what a newly connected
                // node is told from now on.
                std::lock_guard<std::mutex> guard(_codecLock);
                _codec = std::static_pointer_cast<FFAVCodec>(record);
            }
            while (_running && AnyDestinationBusy())
                std::this_thread::sleep_for(1ms);
            PushToDestinations(record);
        }
        PushToDestinations(std::make_shared<FFEOSInfo>());
        finished = true;
    }

    std::mutex _codecLock;
    std::shared_ptr<FFAVCodec> _codec;
    std::vector<Step> _script;
    std::atomic<bool> _open{false};
    std::atomic<bool> _running{false};
    std::thread _thread;
};

// A recording engine whose source is made by the test.
class ScriptedEngine : public FFFileEngine {
public:
    using Factory = std::function<std::unique_ptr<IFFSource>()>;
    ScriptedEngine(Factory factory, SyncingFileSink::WallClock clock = {})
        : FFFileEngine("RecordingEngineTest", std::move(clock)), _factory(std::move(factory))
    {
    }
    ~ScriptedEngine() override { CloseSource(); }

protected:
    std::unique_ptr<IFFSource> _CreateSource(const std::string&) override { return _factory(); }

private:
    Factory _factory;
};

} // namespace RecordTest

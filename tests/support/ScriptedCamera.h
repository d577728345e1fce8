#pragma once
// A camera client the test scripts packet by packet, installed through the
// client factory for the lifetime of a ScriptedCameraFactory. A packet may
// bring a new video description (from then on the client's GetVideoInfo);
// the script also notes the settings every client was set up with. A camera
// `away` stops running once its script is played and refuses to connect; one
// that `holdConnects` keeps every connect waiting until the test lets go. The
// source's worker calls the client while the test writes the script:
// `mutex` guards the whole script; `changed` is notified when a packet is
// queued or a waiter is woken.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "camera/IRTSPClient.h"

namespace Quillet::Testing {

struct CameraScript {
    struct Entry {
        std::shared_ptr<MediaPacketStruct> packet;
        std::optional<MediaInfoStruct> video;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;
    MediaInfoStruct video;
    bool failReads = false;
    bool away = false;
    bool holdConnects = false; // a connect waits until this is cleared (notify `changed`)
    std::vector<RTSPSourceSettings> setups;
    // Expects `mutex` held.
    bool Gone() const { return away && queue.empty(); }
};

class ScriptedCamera : public IRTSPClient {
public:
    explicit ScriptedCamera(std::shared_ptr<CameraScript> script) : _s(std::move(script)) {}
    void SetupSource(RTSPSourceSettings& settings) override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        _s->setups.push_back(settings);
    }
    bool Connect(const std::string&) override
    {
        std::unique_lock<std::mutex> guard(_s->mutex);
        _s->changed.wait(guard, [&] { return !_s->holdConnects; });
        return !_s->Gone();
    }
    ConnectFailure LastConnectFailure() const override { return ConnectFailure::None; }
    bool Close() override { return true; }
    bool IsRunning() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        return !_s->Gone();
    }
    std::shared_ptr<MediaPacketStruct> ReadFrame() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        if (_s->failReads)
            throw std::runtime_error("scripted camera failure");
        if (_s->queue.empty())
            return nullptr;
        CameraScript::Entry entry = std::move(_s->queue.front());
        _s->queue.pop_front();
        if (entry.video)
            _s->video = *entry.video;
        return entry.packet;
    }
    bool WaitForPacket(std::chrono::steady_clock::time_point deadline) override
    {
        std::unique_lock<std::mutex> guard(_s->mutex);
        const auto ready = [&] { return _woken || !_s->queue.empty() || _s->Gone() || _s->failReads; };
        if (deadline == std::chrono::steady_clock::time_point::max())
            _s->changed.wait(guard, ready); // nothing but a packet or a wake ends it
        else
            _s->changed.wait_until(guard, deadline, ready);
        _woken = false;
        return !_s->queue.empty();
    }
    void WakeWaiter() override
    {
        {
            std::lock_guard<std::mutex> guard(_s->mutex);
            _woken = true;
        }
        _s->changed.notify_all();
    }
    std::unique_ptr<MediaInfoStruct> GetVideoInfo() const override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        return std::make_unique<MediaInfoStruct>(_s->video);
    }
    std::unique_ptr<MediaInfoStruct> GetAudioInfo() const override { return nullptr; }

private:
    std::shared_ptr<CameraScript> _s;
    bool _woken = false; // guarded by the script's mutex
};

// An H.264 video description of the given size and configuration.
inline MediaInfoStruct ScriptedVideo(int width, int height, int configId)
{
    MediaInfoStruct info;
    info.streamIndex = 0, info.codec = MediaPacket::H264, info.pixelFormat = MediaPacket::YUV420;
    info.width = width, info.height = height, info.clockRate = 90000, info.configId = configId;
    return info;
}

class ScriptedCameraFactory {
public:
    ScriptedCameraFactory() : script(std::make_shared<CameraScript>())
    {
        script->video = ScriptedVideo(640, 480, 1);
        SetRTSPClientFactory([s = script] { return std::make_unique<ScriptedCamera>(s); });
    }
    ~ScriptedCameraFactory() { SetRTSPClientFactory(nullptr); }
    ScriptedCameraFactory(const ScriptedCameraFactory&) = delete;
    ScriptedCameraFactory& operator=(const ScriptedCameraFactory&) = delete;

    // A video packet of configuration `configId` (one byte unless `data`
    // are given, at RTP time `timestamp`); `video`: the description the
    // camera reports from this packet on.
    void Enqueue(int configId, bool codecChanged, std::optional<MediaInfoStruct> video = std::nullopt,
                 std::vector<uint8_t> data = {}, int64_t timestamp = 0)
    {
        auto bytes = std::make_shared<std::vector<uint8_t>>(data.empty() ? std::vector<uint8_t>(1, uint8_t(configId))
                                                                         : std::move(data));
        auto p = std::make_shared<MediaPacketStruct>();
        p->mediaType = MediaPacket::Video, p->frameType = MediaPacket::KeyFrame;
        p->codecChanged = codecChanged, p->configId = configId;
        p->timing = std::make_shared<TimingDataStruct>();
        p->timing->timestamp = timestamp;
        p->size = int32_t(bytes->size()), p->data = bytes->data(), p->storage = bytes;
        {
            std::lock_guard<std::mutex> guard(script->mutex);
            script->queue.push_back({p, std::move(video)});
        }
        script->changed.notify_all();
    }

    std::shared_ptr<CameraScript> script;
};

} // namespace Quillet::Testing

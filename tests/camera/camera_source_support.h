#pragma once
// Shared pieces of the camera tests: the scripted camera client that the
// tests drive packet by packet, a graph node and a messenger that note what
// reached them on one common timeline, and a facade event recorder.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/IRTSPClient.h"
#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "events/FFMessenger.h"
#include "facade/FFWrapper.h"

namespace CameraSourceTest {

using namespace Quillet;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

inline int64_t NowTicks()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

// What the scripted camera does and what was asked of it; shared by every
// client the factory makes, so it survives the reconnections.
struct CameraScript {
    struct Entry {
        std::shared_ptr<MediaPacketStruct> packet;
        std::optional<MediaInfoStruct> video; // configuration that comes with this packet
        std::optional<MediaInfoStruct> audio;
    };

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;
    std::optional<MediaInfoStruct> video;
    std::optional<MediaInfoStruct> audio;
    bool alive = false;       // the connection delivers
    int refuseConnects = 0;   // so many Connects fail
    bool hangConnects = false; // Connect waits for Close (or 20 s)
    bool throwOnRead = false;
    std::vector<RTSPSourceSettings> setups;
    size_t connects = 0;
    int clientsAlive = 0;

    // `video`: the configuration the camera reports from this packet on.
    void Enqueue(std::shared_ptr<MediaPacketStruct> packet, std::optional<MediaInfoStruct> video = std::nullopt)
    {
        std::lock_guard<std::mutex> guard(mutex);
        queue.push_back(Entry{std::move(packet), std::move(video), std::nullopt});
    }
    void Lose()
    {
        std::lock_guard<std::mutex> guard(mutex);
        alive = false;
    }
    bool Drained() const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return queue.empty();
    }
    size_t Connects() const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return connects;
    }
    template <typename F>
    auto With(F&& f) const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return f();
    }
};

class ScriptedCamera : public IRTSPClient {
public:
    explicit ScriptedCamera(std::shared_ptr<CameraScript> script) : _s(std::move(script))
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        ++_s->clientsAlive;
    }
    ~ScriptedCamera() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        --_s->clientsAlive;
    }

    void SetupSource(RTSPSourceSettings& settings) override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        _s->setups.push_back(settings);
    }
    bool Connect(const std::string&) override
    {
        std::unique_lock<std::mutex> guard(_s->mutex);
        ++_s->connects;
        if (_s->hangConnects) {
            _s->changed.wait_for(guard, 20s, [this] { return _closed; });
            return false;
        }
        if (_s->refuseConnects > 0) {
            --_s->refuseConnects;
            _failure = ConnectFailure::Other;
            return false;
        }
        _failure = ConnectFailure::None;
        _s->alive = true;
        return true;
    }
    ConnectFailure LastConnectFailure() const override { return _failure; }
    bool Close() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        _closed = true;
        _s->changed.notify_all();
        return true;
    }
    bool IsRunning() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        return _s->alive && !_closed;
    }
    std::shared_ptr<MediaPacketStruct> ReadFrame() override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        if (_s->throwOnRead)
            throw std::runtime_error("scripted camera failure");
        if (!_s->alive || _closed || _s->queue.empty())
            return nullptr;
        CameraScript::Entry entry = std::move(_s->queue.front());
        _s->queue.pop_front();
        if (entry.video)
            _s->video = entry.video;
        if (entry.audio)
            _s->audio = entry.audio;
        return entry.packet;
    }
    std::unique_ptr<MediaInfoStruct> GetVideoInfo() const override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        return _s->video ? std::make_unique<MediaInfoStruct>(*_s->video) : nullptr;
    }
    std::unique_ptr<MediaInfoStruct> GetAudioInfo() const override
    {
        std::lock_guard<std::mutex> guard(_s->mutex);
        return _s->audio ? std::make_unique<MediaInfoStruct>(*_s->audio) : nullptr;
    }

private:
    std::shared_ptr<CameraScript> _s;
    bool _closed = false;
    ConnectFailure _failure = ConnectFailure::None;
};

// Installs the scripted camera for the lifetime of the guard.
class ScriptedFactory {
public:
    ScriptedFactory() : script(std::make_shared<CameraScript>())
    {
        auto s = script;
        SetRTSPClientFactory([s] { return std::make_unique<ScriptedCamera>(s); });
    }
    ~ScriptedFactory() { SetRTSPClientFactory(nullptr); }
    std::shared_ptr<CameraScript> script;
};

inline MediaInfoStruct VideoInfo(int width, int height, MediaPacket::Codec codec = MediaPacket::H264,
                                 int configId = 1)
{
    MediaInfoStruct info;
    info.streamIndex = 0;
    info.codec = codec;
    info.pixelFormat = MediaPacket::YUV420;
    info.width = width;
    info.height = height;
    info.clockRate = 90000;
    info.configId = configId;
    return info;
}

inline MediaInfoStruct AudioInfo(MediaPacket::Codec codec, int sampleRate, int channels, int kbps = 64)
{
    MediaInfoStruct info;
    info.streamIndex = 1;
    info.codec = codec;
    info.width = 0;
    info.height = 0;
    info.clockRate = sampleRate;
    info.channels = channels;
    info.sampleRate = sampleRate;
    info.bitRateKbps = kbps;
    info.configId = 1;
    return info;
}

inline std::shared_ptr<MediaPacketStruct> MakeMediaPacket(MediaPacket::MediaType type, int configId, bool key,
                                                          int64_t timestamp, std::vector<uint8_t> bytes,
                                                          int64_t pcTime = 0,
                                                          MediaPacket::TimeEstimateTrustIndex trust =
                                                              MediaPacket::SenderReport)
{
    auto storage = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    auto p = std::make_shared<MediaPacketStruct>();
    p->mediaType = type;
    p->frameType = key ? MediaPacket::KeyFrame : MediaPacket::OtherFrame;
    p->configId = configId;
    p->timing = std::make_shared<TimingDataStruct>();
    p->timing->timestamp = timestamp;
    p->timing->pcTimeUTC = pcTime;
    p->timing->trustIndex = trust;
    p->size = static_cast<int32_t>(storage->size());
    p->data = storage->data();
    p->storage = storage;
    return p;
}

// One line per thing that happened, in the order it happened.
class Timeline {
public:
    void Add(std::string line)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.push_back(std::move(line));
    }
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _lines;
    }
    size_t Count(const std::string& line) const
    {
        size_t n = 0;
        for (const auto& l : Lines())
            n += l == line;
        return n;
    }
    std::string Text() const
    {
        std::ostringstream out;
        for (const auto& l : Lines())
            out << l << "\n";
        return out.str();
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
};

// The messenger of a source under test: notes connection events and errors.
class TimelineMessenger : public FFMessenger {
public:
    explicit TimelineMessenger(Timeline& timeline) : FFMessenger("camera_source_test"), _timeline(timeline) {}

    void SendFFEvent(FFEventArgs* args) override
    {
        if (args->type == ConnectionStatusEvent) {
            const auto* c = static_cast<FFSourceConnectionStatusArgs*>(args);
            _timeline.Add("event " + std::to_string(static_cast<int>(c->status)) + " " + c->message);
        }
        FFMessenger::SendFFEvent(args);
    }
    void Error(const std::string& where, const std::exception& e, int message) override
    {
        _timeline.Add("error " + std::to_string(message) + " " + where + ": " + e.what());
    }

private:
    Timeline& _timeline;
};

// A destination that keeps every record and notes its kind on the timeline.
class CollectingNode : public FFDestNode<FFData> {
public:
    explicit CollectingNode(Timeline& timeline) : _timeline(timeline) {}

    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        if (!record)
            return FFStatus::Ready;
        std::string line;
        switch (record->GetType()) {
        case FFType::Packet:
            line = static_cast<const FFPacket&>(*record).GetStreamType() == FFStreamType::Video ? "video" : "audio";
            break;
        case FFType::AVCodec: {
            const auto& c = static_cast<const FFAVCodec&>(*record);
            line = "codec " + std::to_string(c.video->Context()->width) + "x" +
                   std::to_string(c.video->Context()->height);
            break;
        }
        case FFType::ConnectionInfo: {
            const auto& c = static_cast<const FFConnectionInfo&>(*record);
            line = "info " + std::to_string(static_cast<int>(c.status)) + " " + c.message;
            break;
        }
        default:
            line = "other";
        }
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _records.push_back(record);
        }
        _timeline.Add(line);
        return FFStatus::Ready;
    }
    FFStatus GetStatus() override { return busy ? FFStatus::Paused : FFStatus::Ready; }

    std::vector<std::shared_ptr<FFData>> Records() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records;
    }
    template <typename T>
    std::vector<std::shared_ptr<T>> OfType(FFType type) const
    {
        std::vector<std::shared_ptr<T>> out;
        for (const auto& r : Records())
            if (r->GetType() == type)
                out.push_back(std::static_pointer_cast<T>(r));
        return out;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records.size();
    }

    std::atomic<bool> busy{false};

private:
    Timeline& _timeline;
    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<FFData>> _records;
};

// Notes a facade's connection events ("<status> <message>") and message
// events ("message <n>").
inline void RecordFacadeEvents(FFWrapperCLI::FFWrapper& facade, Timeline& events)
{
    using namespace FFWrapperCLI;
    facade.RegisterFFEventCallback(ManagedEventDelegate([&events](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            events.Add("message " + std::to_string(static_cast<int>(m->message)));
    }));
}

} // namespace CameraSourceTest

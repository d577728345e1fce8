#pragma once
// What the application sees besides the facades themselves: enumerations,
// the picture record, camera settings, event arguments and the handler type.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Quillet::FFWrapperCLI {

enum class FFMessageType : int32_t {
    NoError = 0,
    FileSinkError = 1,
    SourceError = 2,
    RTSPSourceError = 3,
    EndOfStream = 4,
    SyncPointReady = 5,
    // One stream (video or audio) cannot be decoded or converted and is
    // given up; the other plays on.
    StreamRefused = 6,
};

enum class ConnectionStatus : int32_t {
    Connected = 0,
    Disconnected = 1,
    ConnectionLost = 2,
};

// One picture handed to the application. `frame` keeps its storage (same
// data pointer) while the size and dimensions stay the same.
class FrameData {
public:
    std::vector<uint8_t> frame;
    double frameTime = 0.0;
    int32_t width = 0;
    int32_t height = 0;
    bool firstFrame = false;
    int32_t size = 0;
    int32_t status = 0;
};

// A live camera connection.
class SourceSettings {
public:
    bool streamUsingTCP = true;
    bool useTimeFilter = true;
    bool useOnlyVideo = false;
    bool requireRTCP = true;
    bool createTimingLog = false;
    std::string timingLogFolder;
    std::string username;
    std::string password;
    double audioLatencyMs = 0.0;
    double videoLatencyMs = 0.0;
    double syncShiftMs = 0.0;
    double rtcpTimeoutMs = 30000.0;
    double packetTimeoutMs = 10000.0;
};

class EventArgs {
public:
    virtual ~EventArgs() = default;
};

class FFMessageEventArgs : public EventArgs {
public:
    FFMessageEventArgs() = default;
    explicit FFMessageEventArgs(FFMessageType m) : message(m) {}
    FFMessageType message = FFMessageType::NoError;
};

class SyncPointEventArgs : public EventArgs {
public:
    std::chrono::duration<double> videoTime{0.0};
    std::chrono::system_clock::time_point PCTimeUTC{};
    std::string fileName = "noFile";
    bool isGood = false;
};

class SourceConnectionStatusArgs : public EventArgs {
public:
    std::string message;
    ConnectionStatus status = ConnectionStatus::Disconnected;
};

// The application's event handler. Copies of one delegate compare equal, so
// the handle given to RegisterFFEventCallback also unregisters it.
class ManagedEventDelegate {
public:
    using Function = std::function<void(const EventArgs&)>;

    ManagedEventDelegate() = default;
    ManagedEventDelegate(Function f) : _target(std::make_shared<Function>(std::move(f))) {}

    void operator()(const EventArgs& args) const
    {
        if (_target && *_target)
            (*_target)(args);
    }
    explicit operator bool() const { return _target && *_target; }
    bool operator==(const ManagedEventDelegate& other) const { return _target == other._target; }

private:
    std::shared_ptr<Function> _target;
};

// Scope guard on a facade's monitor. Monitors are re-entrant: a handler
// running inside a facade call may call the facade again on the same thread.
class lock {
public:
    explicit lock(std::recursive_mutex& monitor) : _guard(monitor) {}

private:
    std::lock_guard<std::recursive_mutex> _guard;
};

// Wall-clock ticks (100 ns since 1970-01-01 UTC) to a UTC time point,
// truncated to whole microseconds.
std::chrono::system_clock::time_point PCTimeFromTicks(int64_t ticks);

} // namespace Quillet::FFWrapperCLI

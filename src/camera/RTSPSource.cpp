#include "camera/RTSPSource.h"

#include <algorithm>

#include "camera/CameraLog.h"
#include "camera/RTSPConnection.h"

namespace Quillet {
namespace {

// How often a WaitForPacket that nothing wakes asks whether the connection is
// still healthy.
constexpr auto kHealthCheck = std::chrono::milliseconds(250);

} // namespace

RTSPSource::RTSPSource() = default;

RTSPSource::~RTSPSource()
{
    Close();
}

void RTSPSource::SetupSource(RTSPSourceSettings& settings)
{
    std::lock_guard lock(_mutex);
    _settings = settings;
}

bool RTSPSource::Connect(const std::string& url)
{
    std::lock_guard connectLock(_connectMutex);
    if (auto previous = _TakeConnection()) {
        CameraLog(CameraLogLevel::Info, previous->LogPrefix(), "Closing the previous connection before connecting again");
        previous->Shutdown();
    }

    std::shared_ptr<RTSPConnection> connection;
    uint64_t closeRequests = 0;
    {
        std::lock_guard lock(_mutex);
        connection = std::make_shared<RTSPConnection>(_settings, [this] { _Ring(); });
        closeRequests = _closeRequests;
        _connection = connection; // published first, so Close can interrupt the open
    }
    bool ok = connection->Open(url);
    {
        std::lock_guard lock(_mutex);
        if (closeRequests != _closeRequests)
            ok = false;
        _lastFailure = ok ? ConnectFailure::None
                          : (connection->Failure() == ConnectFailure::None ? ConnectFailure::Other : connection->Failure());
        if (!ok && _connection == connection)
            _connection.reset();
    }
    if (!ok)
        connection->Shutdown();
    return ok;
}

ConnectFailure RTSPSource::LastConnectFailure() const
{
    std::lock_guard lock(_mutex);
    return _lastFailure;
}

bool RTSPSource::Close()
{
    std::shared_ptr<RTSPConnection> connection;
    {
        std::lock_guard lock(_mutex);
        ++_closeRequests;
        connection = _connection;
    }
    if (connection)
        connection->Interrupt(); // a blocked Connect gives up and releases _connectMutex
    _Ring(); // a waiter finds the connection gone
    std::lock_guard connectLock(_connectMutex);
    connection = _TakeConnection();
    if (!connection)
        return false;
    connection->Shutdown();
    _Ring();
    return true;
}

bool RTSPSource::IsRunning()
{
    const auto connection = _CurrentConnection();
    return connection && connection->IsRunning();
}

std::shared_ptr<MediaPacketStruct> RTSPSource::ReadFrame()
{
    const auto connection = _CurrentConnection();
    return connection ? connection->Pop() : nullptr;
}

bool RTSPSource::WaitForPacket(std::chrono::steady_clock::time_point deadline)
{
    using Clock = std::chrono::steady_clock;
    for (;;) {
        // IsRunning may log (a stall found), so it is asked with no lock held.
        const auto connection = _CurrentConnection();
        const bool healthy = connection && connection->IsRunning();
        std::unique_lock lock(_waitMutex);
        if (!healthy || _wakeRequested) {
            _wakeRequested = false;
            return connection && connection->HasPacket();
        }
        // The connection's health is judged by time as well (no packet for
        // the packet timeout, no sender report), so the sleep is cut into
        // slices that IsRunning is asked between. The look below runs under
        // _waitMutex, which every ring takes: no ring is lost.
        const auto until = std::min(deadline, Clock::now() + kHealthCheck);
        const bool woken = _waitChanged.wait_until(lock, until, [&] {
            return _wakeRequested || connection->HasPacket() || !connection->IsReading() ||
                   connection != _CurrentConnection();
        });
        if (woken || Clock::now() >= deadline) {
            _wakeRequested = false;
            return connection->HasPacket();
        }
    }
}

void RTSPSource::WakeWaiter()
{
    {
        std::lock_guard lock(_waitMutex);
        _wakeRequested = true;
    }
    _waitChanged.notify_all();
}

void RTSPSource::_Ring()
{
    // Taking the mutex orders the change before a waiter's next look.
    { std::lock_guard lock(_waitMutex); }
    _waitChanged.notify_all();
}

std::unique_ptr<MediaInfoStruct> RTSPSource::GetVideoInfo() const
{
    const auto connection = _CurrentConnection();
    return connection ? connection->Info(MediaPacket::Video) : nullptr;
}

std::unique_ptr<MediaInfoStruct> RTSPSource::GetAudioInfo() const
{
    const auto connection = _CurrentConnection();
    return connection ? connection->Info(MediaPacket::Audio) : nullptr;
}

std::shared_ptr<RTSPConnection> RTSPSource::_CurrentConnection() const
{
    std::lock_guard lock(_mutex);
    return _connection;
}

std::shared_ptr<RTSPConnection> RTSPSource::_TakeConnection()
{
    std::lock_guard lock(_mutex);
    return std::move(_connection);
}

} // namespace Quillet

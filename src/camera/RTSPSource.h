#pragma once
// The camera client on FFmpeg's RTSP demuxer. Each Connect makes a fresh
// RTSPConnection (demuxer, reader thread, packet queue); this class only
// serialises connecting and closing and lets Close interrupt a Connect.
// Threads: any thread may call any operation; Connect and the teardown in
// Close are serialised by _connectMutex, which is never held by the calls
// that only look (IsRunning, ReadFrame, Get*Info). One thread at a time sleeps
// in WaitForPacket on _waitChanged under _waitMutex; the connection's reader
// rings it (_Ring) after it queued a packet or ended, Close and WakeWaiter
// ring it too. Lock order: _waitMutex, then _mutex, then the connection's
// queue lock; _Ring is called with none of them held.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "camera/IRTSPClient.h"

namespace Quillet {

class RTSPConnection;

class RTSPSource final : public IRTSPClient {
public:
    RTSPSource();
    ~RTSPSource() override;
    RTSPSource(const RTSPSource&) = delete;
    RTSPSource& operator=(const RTSPSource&) = delete;

    void SetupSource(RTSPSourceSettings& settings) override;
    bool Connect(const std::string& url) override;
    ConnectFailure LastConnectFailure() const override;
    bool Close() override;
    bool IsRunning() override;
    std::shared_ptr<MediaPacketStruct> ReadFrame() override;
    bool WaitForPacket(std::chrono::steady_clock::time_point deadline) override;
    void WakeWaiter() override;
    std::unique_ptr<MediaInfoStruct> GetVideoInfo() const override;
    std::unique_ptr<MediaInfoStruct> GetAudioInfo() const override;

private:
    std::shared_ptr<RTSPConnection> _CurrentConnection() const;
    std::shared_ptr<RTSPConnection> _TakeConnection();
    void _Ring();

    mutable std::mutex _mutex;   // guards the four members below
    RTSPSourceSettings _settings;
    std::shared_ptr<RTSPConnection> _connection;
    uint64_t _closeRequests = 0; // lets a Connect notice a Close that raced it
    ConnectFailure _lastFailure = ConnectFailure::None;
    std::mutex _connectMutex;    // one Connect or teardown at a time
    std::mutex _waitMutex;       // guards _wakeRequested; _waitChanged's mutex
    std::condition_variable _waitChanged;
    bool _wakeRequested = false;
};

} // namespace Quillet

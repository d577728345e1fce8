#pragma once
// The camera client. Each Connect makes a fresh RTSPConnection (RTSP
// session, RTP streams, reader thread, packet queue); this class only
// serialises connecting and closing and lets Close interrupt a Connect.
// Threads: any thread may call any operation; Connect and the teardown in
// Close are serialised by _connectMutex, which is never held by the calls
// that only look (IsRunning, ReadFrame, Get*Info). WaitForPacket sleeps on
// the current connection's queue (RTSPConnection::WaitForPacket) with no lock
// of this class held; Close interrupts that connection, which ends the sleep.
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

    mutable std::mutex _mutex;   // guards the four members below
    RTSPSourceSettings _settings;
    std::shared_ptr<RTSPConnection> _connection;
    uint64_t _closeRequests = 0; // lets a Connect notice a Close that raced it
    ConnectFailure _lastFailure = ConnectFailure::None;
    std::mutex _connectMutex;    // one Connect or teardown at a time
};

} // namespace Quillet

#pragma once
// The camera client as its user sees it. RTSPSource is the real one; tests of
// the engine-side camera source install a scripted camera through the factory.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camera/MediaPacket.h"
#include "camera/RTSPSourceSettings.h"

namespace Quillet {

// Why the last Connect failed, as far as the camera told.
enum class ConnectFailure : int32_t {
    None = 0,
    Other = 1,               // unreachable, silent, no usable stream, closed
    AuthorizationFailed = 2, // the camera refused the credentials (401/403)
    ConnectionRefused = 3,   // nothing listens at the camera's address and port
    TimedOut = 4,            // no answer within packetTimeoutMs
};

class IRTSPClient {
public:
    virtual ~IRTSPClient() = default;
    // Kept for the following Connect.
    virtual void SetupSource(RTSPSourceSettings& settings) = 0;
    // Blocks until the streams are described; false when the camera cannot
    // be reached, refuses, or stays silent for packetTimeoutMs.
    virtual bool Connect(const std::string& url) = 0;
    // Why the last Connect returned false; None after one that succeeded.
    virtual ConnectFailure LastConnectFailure() const = 0;
    // Safe from any thread, also while Connect or a read is blocked. False
    // when nothing was open.
    virtual bool Close() = 0;
    // False once the stream ended, failed or stalled; stays false until the
    // next Connect.
    virtual bool IsRunning() = 0;
    // The oldest waiting packet, or empty at once when none is waiting.
    virtual std::shared_ptr<MediaPacketStruct> ReadFrame() = 0;
    // Sleeps until a packet is waiting (ReadFrame would hand one out), the
    // stream has ended (IsRunning would say false), Close or WakeWaiter is
    // called, or `deadline` passes; true when a packet is waiting. One thread
    // waits at a time; it holds none of the client's locks while asleep.
    virtual bool WaitForPacket(std::chrono::steady_clock::time_point deadline) = 0;
    // Ends the WaitForPacket in progress at once or, with none in progress,
    // the next one. Any thread.
    virtual void WakeWaiter() = 0;
    // Description of the stream in the configuration of the packet last
    // handed out; null when there is no such stream or nothing is open.
    virtual std::unique_ptr<MediaInfoStruct> GetVideoInfo() const = 0;
    virtual std::unique_ptr<MediaInfoStruct> GetAudioInfo() const = 0;
};

using RTSPClientFactory = std::function<std::unique_ptr<IRTSPClient>()>;

// A new RTSPSource.
std::unique_ptr<IRTSPClient> MakeRTSPSource();
// Uses the installed factory, else MakeRTSPSource.
std::unique_ptr<IRTSPClient> CreateRTSPClient();
// Installs a process-wide factory; an empty one restores the real client.
void SetRTSPClientFactory(RTSPClientFactory factory);

} // namespace Quillet

#pragma once
// One connection to a camera: the RTSP session (OPTIONS, DESCRIBE, SETUP,
// PLAY, keep-alive, TEARDOWN, Basic or Digest login), its RTP streams over
// the RTSP connection (interleaved) or over UDP with RTCP, a reader thread
// that turns packets into access units and moves them into a bounded queue,
// and packet times. Made by RTSPSource for each Connect and thrown away at
// Close. Each stream's configuration tracking lives in CameraStream, the
// unpacking in RtpDepacketizer, loss and sender reports in RtpReception, the
// decisions to give up in ConnectionWatch, the RTSP requests in RtspSession,
// the queue to the user in CameraPacketQueue.
//
// The reader never polls: it sleeps in poll() on the sockets and a wake-up
// descriptor until a packet comes, a timer (packet timeout, keep-alive,
// receiver report) is due, or Interrupt wakes it.
//
// Threads and locks:
// - Open runs on the caller's thread and starts the reader; from then on the
//   sockets, the RTSP session (_session), _tracks, _streams and _timingLog
//   belong to the reader until Shutdown has joined it; Shutdown then uses
//   the RTSP session once more to say goodbye.
// - Interrupt, IsRunning, IsReading, Pop, HasPacket and Info may be called
//   from any thread at any time; the packet queue (_queue) has its own lock
//   (see CameraPacketQueue.h), and the other fields they read are atomic or
//   fixed once Open has run.
// - `_changed` (fixed at construction) is called with no lock held after a
//   packet was queued and once the reader has ended, so a waiting user of
//   the client wakes up.
// - Shutdown is idempotent and serialised by _shutdownMutex.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CameraPacketQueue.h"
#include "camera/CameraStream.h"
#include "camera/CameraTimingLog.h"
#include "camera/ConnectionWatch.h"
#include "camera/IRTSPClient.h"
#include "camera/MediaPacket.h"
#include "camera/RTSPSourceSettings.h"
#include "camera/RtpDepacketizer.h"
#include "camera/RtpReception.h"
#include "camera/RtspProtocol.h"
#include "camera/RtspSession.h"

namespace Quillet {

class RTSPConnection {
public:
    // `changed` is told of every queued packet and of the reader's end.
    RTSPConnection(RTSPSourceSettings settings, std::function<void()> changed);
    ~RTSPConnection();
    RTSPConnection(const RTSPConnection&) = delete;
    RTSPConnection& operator=(const RTSPConnection&) = delete;

    // Opens the URL, describes the streams and starts the reader. Call once.
    bool Open(const std::string& url);
    // Why Open failed.
    ConnectFailure Failure() const { return _failure; }
    // Makes every wait of this connection end at once. Any thread.
    void Interrupt();
    // Interrupts, joins the reader and ends the session. Idempotent.
    void Shutdown();

    bool IsRunning();
    std::shared_ptr<MediaPacketStruct> Pop() { return _queue.Pop(); }
    bool HasPacket() const { return _queue.HasPacket(); }
    // False once the reader has ended (or before it started).
    bool IsReading() const { return _started && !_ended; }
    std::unique_ptr<MediaInfoStruct> Info(MediaPacket::MediaType type) const { return _queue.Info(type); }
    const std::string& LogPrefix() const { return _settings.logPrefix; }

private:
    // One RTP stream of the session.
    struct Track {
        SdpMedia media;
        MediaFacts facts;
        CameraStream* stream = nullptr; // owned by _streams
        std::unique_ptr<RtpDepacketizer> depacketizer;
        RtpReception reception;
        int rtpChannel = -1, rtcpChannel = -1; // interleaved channels over TCP
        int rtpSocket = -1, rtcpSocket = -1;   // UDP; closed by the connection
        std::vector<uint8_t> serverRtcpAddress; // a sockaddr, UDP only
        uint32_t ownSsrc = 0;
        int64_t nextReportUs = 0;
        explicit Track(int clockRate) : reception(clockRate) {}
    };
    bool _Handshake();
    bool _SetupTrack(Track& track, std::size_t number, bool& tcp);
    void _HandleInterleaved(int channel, const uint8_t* data, std::size_t size);
    void _ReceiveUdp(Track& track, bool rtcp);
    void _HandleRtp(Track& track, const uint8_t* data, std::size_t size, int64_t nowUs);
    // Unpacks the packets reception put in order; hands on the units they complete.
    void _Unpack(Track& track, const std::vector<RtpReception::Ordered>& ready, int64_t nowUs);
    void _HandleRtcp(Track& track, const uint8_t* data, std::size_t size, int64_t nowUs);
    void _SendReports(int64_t nowUs);
    // One wait for input and what it brought; false when the stream is over.
    bool _Pump(int64_t untilUs);
    bool _ProbeVideo();
    void _PublishInitialInfo();
    void _ReadLoop();
    void _HandleUnit(Track& track, AccessUnit unit, int64_t receivedUs);
    void _Emit(CameraStream& stream, PlacedPacket placed, int64_t wallOfZeroUs);
    void _Fail(ConnectFailure failure, const std::string& reason);
    void _Log(int level, const std::string& text) const;
    void _Report(ConnectionWatch::Finding finding) const;
    void _CloseSockets();

    // Fixed once Open has run; read by every thread without a lock.
    const RTSPSourceSettings _settings;
    const int64_t _timeoutUs;
    const int64_t _connectTimeoutUs;
    std::string _logUrl;
    ConnectionWatch _watch;
    const std::function<void()> _changed;
    ConnectFailure _failure = ConnectFailure::None; // written by Open only
    int _wake = -1; // eventfd: readable once Interrupt was called

    // The RTSP session: Open's, then the reader's, then Shutdown's.
    RtspSession _session;
    std::string _requestUrl, _baseUrl;
    std::string _endReason;

    std::vector<std::unique_ptr<Track>> _tracks;         // the reader's once started
    std::vector<std::unique_ptr<CameraStream>> _streams; // the reader's once started
    std::thread _reader;
    CameraTimingLog _timingLog;

    std::atomic<bool> _started{false};
    std::atomic<bool> _ended{false};
    int64_t _openedUs = 0; // Open began

    CameraPacketQueue _queue; // its own lock
    // One Shutdown at a time; guards no member.
    std::mutex _shutdownMutex;
};

} // namespace Quillet

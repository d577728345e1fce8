#pragma once
// One connection to a camera: the RTSP demuxer, a reader thread that moves
// packets into a bounded queue, and packet times. Made by RTSPSource for each
// Connect and thrown away at Close. Each stream's configuration tracking
// lives in CameraStream, the decisions to give up in ConnectionWatch.
//
// Threads and locks:
// - Open runs on the caller's thread and starts the reader; from then on
//   _input, _streams and _timingLog belong to the reader until Shutdown has
//   joined it.
// - Interrupt, IsRunning, Pop and Info may be called from any thread at any
//   time; _queueMutex guards _queue, _published, _deliveredConfig, _dropped.
// - Shutdown is idempotent and serialised by _shutdownMutex.
// - `_changed` (fixed at construction) is called with no lock held after a
//   packet was queued and once the reader has ended.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CameraStream.h"
#include "camera/ConnectionWatch.h"
#include "camera/IRTSPClient.h"
#include "camera/MediaPacket.h"
#include "camera/RTSPSourceSettings.h"

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
    // Makes every blocking FFmpeg call of this connection return. Any thread.
    void Interrupt() { _watch.Interrupt(); }
    // Interrupts, joins the reader and closes the demuxer. Idempotent.
    void Shutdown();

    bool IsRunning();
    std::shared_ptr<MediaPacketStruct> Pop();
    bool HasPacket() const;
    // False once the reader has ended (or before it started).
    bool IsReading() const { return _started && !_ended; }
    std::unique_ptr<MediaInfoStruct> Info(MediaPacket::MediaType type) const;
    const std::string& LogPrefix() const { return _settings.logPrefix; }

private:
    struct QueueEntry {
        std::shared_ptr<MediaPacketStruct> packet;
        std::shared_ptr<const MediaInfoStruct> info;
    };
    struct FormatDeleter {
        void operator()(AVFormatContext* context) const;
    };

    static int _InterruptCallback(void* opaque);
    bool _OpenInput(const std::string& url);
    bool _SelectStreams();
    bool _ProbeVideo();
    void _PublishInitialInfo();
    void _ReadLoop();
    int _ReadOne();
    void _HandlePacket(CameraPacketPtr packet, int64_t receivedUs);
    void _Emit(CameraStream& stream, PlacedPacket placed);
    void _Enqueue(QueueEntry entry);
    void _EnqueueLocked(QueueEntry entry);
    void _WriteTimingLog(const MediaPacketStruct& packet);
    void _OpenTimingLog();
    void _Log(int level, const std::string& text) const;
    void _Report(ConnectionWatch::Finding finding) const;
    CameraStream* _StreamOf(int index);
    static int _Slot(MediaPacket::MediaType type) { return type == MediaPacket::Audio ? 1 : 0; }

    // Fixed once Open has run; read by every thread without a lock.
    const RTSPSourceSettings _settings;
    const int64_t _timeoutUs;
    std::string _logUrl;
    ConnectionWatch _watch;
    const std::function<void()> _changed;
    ConnectFailure _failure = ConnectFailure::None; // written by Open only

    std::unique_ptr<AVFormatContext, FormatDeleter> _input; // the reader's once started
    std::vector<std::unique_ptr<CameraStream>> _streams;    // the reader's once started
    std::thread _reader;
    std::ofstream _timingLog;

    std::atomic<bool> _started{false};
    std::atomic<bool> _ended{false};
    int64_t _openedUs = 0; // Open began

    mutable std::mutex _queueMutex; // guards the members below
    std::deque<QueueEntry> _queue;
    std::array<std::shared_ptr<const MediaInfoStruct>, 2> _published;
    std::array<int32_t, 2> _deliveredConfig{0, 0};
    uint64_t _dropped = 0;
    // One Shutdown at a time; guards no member.
    std::mutex _shutdownMutex;
};

} // namespace Quillet

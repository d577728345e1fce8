#pragma once
// One connection to a camera: the RTSP demuxer, a reader thread that moves
// packets into a bounded queue, codec-configuration tracking and packet
// times. Made by RTSPSource for each Connect and thrown away at Close.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/MediaPacket.h"
#include "camera/RTSPSourceSettings.h"

struct AVFormatContext;
struct AVPacket;

namespace Quillet {

class RTSPConnection {
public:
    explicit RTSPConnection(RTSPSourceSettings settings);
    ~RTSPConnection();
    RTSPConnection(const RTSPConnection&) = delete;
    RTSPConnection& operator=(const RTSPConnection&) = delete;

    // Opens the URL, describes the streams and starts the reader. Call once.
    bool Open(const std::string& url);
    // Makes every blocking FFmpeg call of this connection return. Any thread.
    void Interrupt();
    // Interrupts, joins the reader and closes the demuxer. Idempotent.
    void Shutdown();

    bool IsRunning();
    std::shared_ptr<MediaPacketStruct> Pop();
    std::unique_ptr<MediaInfoStruct> Info(MediaPacket::MediaType type) const;
    const std::string& LogPrefix() const { return _settings.logPrefix; }

private:
    struct Stream;
    struct QueueEntry {
        std::shared_ptr<MediaPacketStruct> packet;
        std::shared_ptr<const MediaInfoStruct> info;
    };
    struct FormatDeleter {
        void operator()(AVFormatContext* context) const;
    };
    struct PacketDeleter {
        void operator()(AVPacket* packet) const;
    };
    using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

    static int _InterruptCallback(void* opaque);
    int _ShouldAbort();
    bool _OpenInput(const std::string& url);
    bool _SelectStreams();
    bool _ProbeVideo();
    void _PublishInitialInfo();
    void _ReadLoop();
    int _ReadOne();
    void _HandlePacket(PacketPtr packet, int64_t receivedUs);
    void _TrackConfiguration(Stream& stream, const AVPacket& packet);
    void _Emit(Stream& stream, PacketPtr packet, int64_t timestamp, bool estimated, int64_t receivedUs,
               std::shared_ptr<const MediaInfoStruct> info);
    void _Enqueue(QueueEntry entry);
    void _WriteTimingLog(const MediaPacketStruct& packet);
    void _OpenTimingLog();
    void _Log(int level, const std::string& text) const;
    Stream* _StreamOf(int index);
    static int _Slot(MediaPacket::MediaType type) { return type == MediaPacket::Audio ? 1 : 0; }

    const RTSPSourceSettings _settings;
    const int64_t _timeoutUs;
    std::string _logUrl;

    std::unique_ptr<AVFormatContext, FormatDeleter> _input; // the reader's once started
    std::vector<std::unique_ptr<Stream>> _streams;          // the reader's once started
    std::thread _reader;
    std::ofstream _timingLog;

    std::atomic<bool> _interrupted{false};
    std::atomic<bool> _watchStall{false};
    std::atomic<int64_t> _deadlineUs{0};
    std::atomic<int64_t> _lastPacketUs{0};
    std::atomic<bool> _started{false};
    std::atomic<bool> _ended{false};
    std::atomic<bool> _stalled{false};
    std::atomic<bool> _senderReportSeen{false};
    std::atomic<bool> _rtcpMissing{false};
    std::atomic<bool> _tearingDown{false};
    int64_t _openedUs = 0;    // Open began
    int64_t _connectedUs = 0; // Open succeeded

    mutable std::mutex _queueMutex; // guards the members below
    std::deque<QueueEntry> _queue;
    std::array<std::shared_ptr<const MediaInfoStruct>, 2> _published;
    std::array<int32_t, 2> _deliveredConfig{0, 0};
    uint64_t _dropped = 0;
    std::mutex _shutdownMutex;
};

} // namespace Quillet

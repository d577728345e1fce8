#pragma once
// The live camera source. The camera client connects and describes the
// streams; this source turns those descriptions into decoder descriptions,
// and on its own thread turns every packet the client delivers into an
// FFPacket carrying the camera's wall-clock time. When the client's
// connection ends it tells the application and the graph, then reopens the
// camera at a fixed interval until it answers again. A camera that changes
// its codec configuration gets a new description pushed ahead of the packet
// that carries the change.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "camera/IRTSPClient.h"
#include "core/FFAVCodec.h"
#include "core/FFThread.h"
#include "source/IFFSource.h"

namespace Quillet {

class FFPacket;

class FFRTSPSource : public IFFSource {
public:
    static constexpr std::chrono::milliseconds kReconnectInterval{5000};

    FFRTSPSource();
    // Stops a read thread that is still running, then tears the client down.
    ~FFRTSPSource() override;
    FFRTSPSource(const FFRTSPSource&) = delete;
    FFRTSPSource& operator=(const FFRTSPSource&) = delete;

    std::shared_ptr<FFData> GetMetaInfo() override;
    bool OpenSource(const std::string& url) override;
    void SetSourceSettings(std::shared_ptr<FFSourceSettings> settings) override;
    void CloseSource() override;
    void StartReadThread() override;
    void StopReadThread() override;
    bool IsReading() override;
    bool IsOpen() override;
    int Width() override;
    int Height() override;
    int RenderWidth() override;
    int RenderHeight() override;
    bool HasAudio() override;
    bool GetAudioFormat(int* rate, int* bits, int* channels) override;
    double GetDuration() override;
    void Seek(double seconds) override;

    void GetDimensions(int* width, int* height);

    // Pause between two failed reconnection attempts; tests shorten it.
    void SetReconnectInterval(std::chrono::milliseconds interval);

private:
    // The client settings an OpenSource with `settings` (or none) applies.
    static RTSPSourceSettings MakeClientSettings(const FFSourceSettings* settings);
    // The two-byte AAC-LC AudioSpecificConfig for the context's sample rate
    // and channel count, with the input padding after it.
    void _FillAACExtradata(AVCodecContext* context) const;

    // Frees a context under the codec lock and says so in this source's log.
    struct ContextDeleter {
        const FFRTSPSource* owner = nullptr;
        void operator()(AVCodecContext* context) const;
    };
    using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

    bool _Open(const std::string& url, bool& connected);
    ContextPtr _AllocateContext(AVMediaType type);
    bool _InitVideoCodec(const MediaInfoStruct& info);
    bool _InitAudioCodec(const MediaInfoStruct& info);
    std::shared_ptr<FFCodecInfo> _GetVideoCodecInfo();
    std::shared_ptr<FFCodecInfo> _GetAudioCodecInfo();
    std::shared_ptr<FFAVCodec> _GetCodecInfo();

    void _ReadFramesFromSource();
    void _ReadLoop();
    void _ForwardPacket(const MediaPacketStruct& mp);
    void _ConvertPacket(const MediaPacketStruct& mp, FFPacket& packet);
    void _HandleCodecChange(const MediaPacketStruct& mp);
    void _PushData(const std::shared_ptr<FFData>& record);
    bool _Reconnect();
    void _AnnounceConnection(ConnectionStatus status, const std::string& text);
    void _WaitBeforeNextAttempt();
    void _ReplaceClient();
    void _InterruptConnect();

    std::recursive_mutex _lock;
    ContextPtr _videoCodecContext{nullptr, ContextDeleter{this}};
    ContextPtr _audioCodecContext{nullptr, ContextDeleter{this}};
    int32_t _videoStreamIndex = -1;
    int32_t _audioStreamIndex = -1;
    int32_t _lastVideoConfigId = 0;
    int32_t _lastAudioConfigId = 0;
    std::unique_ptr<IRTSPClient> _rtspSource;
    std::string _url;
    thread<FFRTSPSource> _readThread;
    // Written under _lock, read by the worker without it.
    std::atomic<bool> _running{false};
    int32_t _reconnectAttempts = 0;
    std::shared_ptr<FFSourceSettings> _sourceSettings;

    // A stop must not wait out a whole back-off pause or a camera that
    // does not answer a reconnection: it raises this flag without _lock, and
    // interrupts a reconnection Connect through the client, which is safe
    // from any thread. _clientGuard keeps the client alive meanwhile.
    std::atomic<bool> _stopRequested{false};
    std::atomic<bool> _reconnecting{false};
    std::mutex _clientGuard;
    std::chrono::milliseconds _reconnectInterval{kReconnectInterval};
};

} // namespace Quillet

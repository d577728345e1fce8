// Opening a file source: local file checks, the demuxer open with its
// interrupt and deadline, stream selection and the duration search.
#include "source/FFSource.h"
#include "core/AVErrorText.h"

#include <condition_variable>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>

#include "core/UrlForLog.h"
#include "core/FFCodecLock.h"
#include "source/WebInput.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/time.h>
}

namespace Quillet {
namespace {

// The duration search looks within one week of media and stops once the
// interval is narrower than a frame or two.
constexpr double kSearchLimitSeconds = 604800.0;
constexpr double kSearchPrecision = 0.03;
constexpr int kSearchMaxSteps = 10000;
// Packets read after a probe seek to find out whether media reaches the target.
constexpr int kProbePackets = 64;

// Several demuxers share global state while opening; one open at a time.
// Waiting for it polls the interrupt, so a cancelled open never waits long.
// A flag and a condition variable rather than a timed mutex: the same wait,
// and one that thread checkers understand.
class OpenGate {
public:
    // True once this open holds the gate; false when `cancelled` says so first.
    template <typename Cancelled>
    bool Enter(Cancelled cancelled)
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(_mutex);
                if (_free.wait_for(guard, std::chrono::milliseconds(50), [this] { return !_busy; })) {
                    _busy = true;
                    return true;
                }
            }
            if (cancelled())
                return false;
        }
    }

    void Leave()
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _busy = false;
        }
        _free.notify_one();
    }

private:
    std::mutex _mutex;
    std::condition_variable _free;
    bool _busy = false; // guarded by _mutex
};

OpenGate& OpenLock()
{
    static OpenGate gate;
    return gate;
}

// Leaves the gate when the open ends, however it ends.
struct OpenGateHold {
    ~OpenGateHold()
    {
        if (held)
            OpenLock().Leave();
    }
    bool held = false;
};

// Anything with a scheme other than file: goes over the network.
bool IsNetworkUrl(const std::string& url)
{
    const auto scheme = url.find("://");
    return scheme != std::string::npos && url.compare(0, 5, "file:") != 0;
}

std::string LocalPath(const std::string& url)
{
    if (url.compare(0, 7, "file://") == 0)
        return url.substr(7);
    if (url.compare(0, 5, "file:") == 0)
        return url.substr(5);
    return url;
}

// A FIFO, socket or device blocks the open (or reads forever); only regular
// files are handed to the demuxer.
OpenFailure CheckLocalFile(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return errno == EACCES ? OpenFailure::PermissionDenied : OpenFailure::NotFound;
    if (!S_ISREG(info.st_mode))
        return OpenFailure::NotMediaFile;
    return OpenFailure::None;
}

bool BeginsWithRtsp(const std::string& url) { return url.size() >= 4 && url.compare(0, 4, "rtsp") == 0; }

} // namespace

// ---------------------------------------------------------------- open / close

bool FFSource::OpenSource(const std::string& url)
{
    LogInfo() << "FFSource::OpenSource" << ": " << UrlForLog(url);
    if (_srcFormatContext)
        CloseSource();
    _network = IsNetworkUrl(url);
    if (!_network) {
        _failure = CheckLocalFile(LocalPath(url));
        if (_failure != OpenFailure::None) {
            LogWarn() << "Cannot open '" << UrlForLog(url) << "': " << OpenFailureText(_failure);
            return false;
        }
    }
    return _Open(url);
}

bool FFSource::OpenMemory(std::vector<uint8_t> bytes)
{
    LogInfo() << "FFSource::OpenMemory" << ": " << bytes.size() << " bytes";
    if (_srcFormatContext)
        CloseSource();
    _network = false;
    _memoryInput = std::make_unique<MemoryInput>(std::move(bytes));
    return _Open("memory");
}

void FFSource::SetInterrupt(std::shared_ptr<SourceInterrupt> interrupt, double networkTimeoutSeconds)
{
    _interrupt = std::move(interrupt);
    _networkTimeout = networkTimeoutSeconds;
}

OpenFailure FFSource::LastOpenFailure() const { return _failure; }

int FFSource::_InterruptCallback(void* opaque)
{
    return static_cast<FFSource*>(opaque)->_ShouldInterrupt() ? 1 : 0;
}

bool FFSource::_ShouldInterrupt()
{
    // The shared interrupt ends opens only; a running reader is ended by
    // StopReadThread, which every stop and close goes through. A stop cuts
    // short the waits of a network input. A local file's read is left to
    // finish: it takes no longer than the disk does, and cut short it leaves
    // the input marked as ended (and the demuxer past the packet it was
    // reading), so a restart would find the end at once.
    if (_opening && _interrupt && _interrupt->Fired())
        return true;
    if (_stopSignal.Raised() && (_network || _opening))
        return true;
    const int64_t deadline = _deadline;
    if (deadline > 0 && av_gettime_relative() > deadline) {
        _timedOut = true;
        return true;
    }
    return false;
}

void FFSource::_ArmDeadline()
{
    _deadline = _network && _networkTimeout > 0 ? av_gettime_relative() + static_cast<int64_t>(_networkTimeout * 1e6)
                                                : 0;
}

bool FFSource::_Interrupted() const
{
    return _timedOut || (_interrupt && _interrupt->Fired());
}

OpenFailure FFSource::_FailureFor(int averror) const
{
    if (_timedOut)
        return OpenFailure::TimedOut;
    if (_interrupt && _interrupt->Fired())
        return OpenFailure::Cancelled;
    const OpenFailure failure = OpenFailureFromError(averror);
    // A readable regular file the demuxers cannot make sense of, whatever
    // their error says.
    if (!_network && failure == OpenFailure::Other)
        return OpenFailure::NotMediaFile;
    return failure;
}

int FFSource::_OpenInput(const std::string& url)
{
    OpenGateHold gate;
    gate.held = OpenLock().Enter([this] { return _ShouldInterrupt(); });
    if (!gate.held)
        return AVERROR_EXIT;
    const bool rtsp = BeginsWithRtsp(url);
    for (int attempt = 0; attempt < (rtsp ? 2 : 1); ++attempt) {
        AVFormatContext* context = avformat_alloc_context();
        if (!context)
            return AVERROR(ENOMEM);
        context->interrupt_callback = {&FFSource::_InterruptCallback, this};
        if (_memoryInput) {
            context->pb = _memoryInput->Context();
            context->flags |= AVFMT_FLAG_CUSTOM_IO;
        } else {
            AskForTheRestWhenCut(context);
        }
        AVDictionary* options = nullptr;
        if (rtsp && attempt == 0)
            av_dict_set(&options, "rtsp_transport", "tcp", 0);
        const int result = avformat_open_input(&context, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (result >= 0) {
            // Containers that store only decode times for pictures with B-frames
            // (MPEG-4 in AVI) leave presentation times to the decoder's guess,
            // and its guess after a seek differs from the one in sequential
            // playback. The demuxer works them out from the following packets
            // instead: the same times, on every path.
            if (!rtsp)
                context->flags |= AVFMT_FLAG_GENPTS;
            _srcFormatContext.reset(context);
            return result;
        }
        LogInfo() << "Failed opening source: " << result;
        if (attempt + 1 == (rtsp ? 2 : 1) || _Interrupted())
            return result;
    }
    return AVERROR_EXIT;
}

bool FFSource::_RefuseOpen(OpenFailure failure, const std::string& why)
{
    _failure = failure;
    LogWarn() << why << ": " << OpenFailureText(failure);
    CloseSource();
    _deadline = 0;
    return false;
}

bool FFSource::_Open(const std::string& url)
{
    _opening = true;
    const bool opened = _OpenAndSearch(url);
    _opening = false;
    return opened;
}

bool FFSource::_OpenAndSearch(const std::string& url)
{
    _failure = OpenFailure::None;
    _timedOut = false;
    _stopSignal.Reset();
    _cutShort = false;
    _resume.Forget();
    // One deadline for the whole open: the demuxer's probing, the stream
    // search and the duration search together.
    _ArmDeadline();
    int result = _OpenInput(url);
    LogInfo() << "av_open_input_file: " << result;
    if (result < 0)
        return _RefuseOpen(_FailureFor(result), "Cannot open '" + UrlForLog(url) + "': " + AVErrorText(result));
    AVFormatContext* context = _srcFormatContext.get();

    result = avformat_find_stream_info(context, nullptr);
    LogInfo() << "av_find_stream_info: " << result;
    if (_Interrupted())
        return _RefuseOpen(_FailureFor(result), "Stream search in '" + UrlForLog(url) + "' interrupted");
    av_dump_format(context, 0, UrlForLog(url).c_str(), 0);

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        const AVMediaType kind = stream->codecpar->codec_type;
        if (kind == AVMEDIA_TYPE_VIDEO && _videoStreamIndex < 0) {
            _videoStreamIndex = static_cast<int>(i);
            LogInfo() << "Video stream index: " << i;
            if (_LooksUntrustworthy(stream)) {
                // Leave nothing half-open behind a refused file.
                return _RefuseOpen(OpenFailure::NotMediaFile, "Something is off --- do not trust this video file!");
            }
            _videoCodecContext = _MakeStreamContext(stream);
        } else if (kind == AVMEDIA_TYPE_AUDIO && _audioStreamIndex < 0) {
            _audioStreamIndex = static_cast<int>(i);
            LogInfo() << "Audio stream index: " << i;
            _audioCodecContext = _MakeStreamContext(stream);
        }
    }

    if (_videoStreamIndex < 0 && _audioStreamIndex < 0) {
        // Some demuxers accept nearly anything; with nothing to play the
        // input is not media we can use.
        return _RefuseOpen(OpenFailure::NotMediaFile, "No video or audio stream in '" + UrlForLog(url) + "'");
    }
    if (!_HasDecoder(_videoCodecContext.get()) && !_HasDecoder(_audioCodecContext.get()))
        return _RefuseOpen(OpenFailure::UnsupportedCodec, "No decoder for any stream of '" + UrlForLog(url) + "'");

    _searchedDuration = -1.0;
    if (context->duration < 0)
        _SearchDuration();
    if (_Interrupted())
        return _RefuseOpen(_FailureFor(AVERROR_EXIT), "Duration search in '" + UrlForLog(url) + "' interrupted");
    _deadline = 0;

    _PushPacket(GetMetaInfo());
    return true;
}

bool FFSource::_HasDecoder(const AVCodecContext* context)
{
    if (!context)
        return false;
    std::lock_guard<std::mutex> guard(CodecLock());
    return avcodec_find_decoder(context->codec_id) != nullptr;
}

// A container without duration or bit rate whose video stream carries no
// codec tag is usually a damaged or mislabelled file that decodes to garbage.
bool FFSource::_LooksUntrustworthy(const AVStream* videoStream) const
{
    return _srcFormatContext->duration < 0 && _srcFormatContext->bit_rate == 0 &&
           videoStream->codecpar->codec_tag == 0;
}

AVCodecContextPtr FFSource::_MakeStreamContext(const AVStream* stream) const
{
    AVCodecContextPtr context = MakeCodecContext();
    if (avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
        throw std::bad_alloc();
    context->time_base = stream->time_base;
    context->pkt_timebase = stream->time_base;
    return context;
}

// ---------------------------------------------------------------- duration search

// Bisection over one week of media time: a probe succeeds when the demuxer can
// seek to the time and packets reaching it follow.
void FFSource::_SearchDuration()
{
    AVFormatContext* context = _srcFormatContext.get();
    const int64_t start = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
    const int64_t firstPacketPos = _FirstPacketPosition();
    double lo = 0.0;
    double hi = kSearchLimitSeconds;
    double mid = 0.0;
    bool narrowed = false;
    for (int step = 0; step < kSearchMaxSteps; ++step) {
        mid = (lo + hi) * 0.5;
        if ((hi - lo) * 0.5 < kSearchPrecision) {
            narrowed = true;
            break;
        }
        if (_Interrupted())
            return;
        const int64_t t = static_cast<int64_t>(mid * 1000000.0) + start;
        const int result = avformat_seek_file(context, -1, t, t, t, AVSEEK_FLAG_ANY);
        if (result < 0 || !_MediaReachesTime(t))
            hi = mid;
        else
            lo = mid;
    }
    if (narrowed)
        _searchedDuration = mid;
    _RewindAfterSearch(firstPacketPos);
}

// Where the first packet lies in the file, or -1 when the demuxer cannot say.
int64_t FFSource::_FirstPacketPosition()
{
    AVPacketPtr packet = MakePacket();
    if (av_read_frame(_srcFormatContext.get(), packet.get()) < 0)
        return -1;
    return packet->pos;
}

// Several demuxers "succeed" when asked for a time past their last packet and
// simply stand on that packet; what follows the seek tells the truth.
bool FFSource::_MediaReachesTime(int64_t micros)
{
    AVFormatContext* context = _srcFormatContext.get();
    AVPacketPtr packet = MakePacket();
    for (int i = 0; i < kProbePackets; ++i) {
        if (av_read_frame(context, packet.get()) < 0)
            return false;
        const int index = packet->stream_index;
        if (index == _videoStreamIndex || index == _audioStreamIndex) {
            const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (pts != AV_NOPTS_VALUE) {
                const int64_t end = av_rescale_q(pts + std::max<int64_t>(packet->duration, 0),
                                                 context->streams[index]->time_base, AV_TIME_BASE_Q);
                if (end >= micros)
                    return true;
            }
        }
        av_packet_unref(packet.get());
    }
    return false;
}

// The read thread starts where the search left the demuxer; put it back at
// the beginning so that the first packets are not lost.
void FFSource::_RewindAfterSearch(int64_t firstPacketPos)
{
    AVFormatContext* context = _srcFormatContext.get();
    int result = -1;
    if (firstPacketPos >= 0 && !(context->iformat->flags & AVFMT_NO_BYTE_SEEK))
        result = av_seek_frame(context, -1, firstPacketPos, AVSEEK_FLAG_BYTE);
    if (result < 0) {
        const int64_t start = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
        result = avformat_seek_file(context, -1, std::numeric_limits<int64_t>::min(), start, start, 0);
    }
    if (result < 0)
        LogWarn() << "Cannot return to the start after the duration search: " << result;
}

} // namespace Quillet

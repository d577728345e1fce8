#include "decode/ThumbnailExtractor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>

#include "core/FFCodecLock.h"
#include "core/FFFrame.h"
#include "decode/FFColorSpace.h"
#include "source/OpenFailure.h"
#include "source/SeekLanding.h"

extern "C" {
#include <libavutil/error.h>
}

namespace Quillet {

namespace {

using Clock = std::chrono::steady_clock;

// Ends a demuxer's blocking read once the time one picture may take is over,
// or at once when the run is given up.
struct Deadline {
    Clock::time_point until = Clock::time_point::max();
    const std::atomic<bool>* cancelled = nullptr;
    bool Passed() const { return (cancelled && cancelled->load()) || Clock::now() > until; }
};

int InterruptAtDeadline(void* opaque)
{
    return static_cast<const Deadline*>(opaque)->Passed() ? 1 : 0;
}

std::string ErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// An input with its streams known, reads bounded by `deadline`; null with the
// FFmpeg error in `*error`. `probe`: always probe the streams (times and
// duration of every stream are then known too).
AVInputContextPtr OpenInput(const std::string& source, Deadline& deadline, int* error, bool probe)
{
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        *error = AVERROR(ENOMEM);
        return nullptr;
    }
    raw->interrupt_callback = {&InterruptAtDeadline, &deadline};
    *error = avformat_open_input(&raw, source.c_str(), nullptr, nullptr); // frees `raw` on failure
    if (*error < 0)
        return nullptr;
    AVInputContextPtr input(raw);
    // Containers with a header that describes the video (MP4, Matroska) need
    // no probing, which decodes pictures; the others (transport streams) do.
    const std::string format = raw->iformat->name;
    const bool indexed = format.rfind("mov,", 0) == 0 || format.rfind("matroska", 0) == 0;
    const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const bool described = indexed && video >= 0 && raw->streams[video]->codecpar->width > 0 &&
                           raw->streams[video]->codecpar->codec_id != AV_CODEC_ID_NONE &&
                           raw->streams[video]->codecpar->extradata_size > 0;
    if (probe || !described)
        *error = avformat_find_stream_info(raw, nullptr);
    if (*error < 0)
        return nullptr;
    return input;
}

// The time a picture is shown at, as the player computes it.
double PictureTime(const AVFrame* f, double unit, double previous)
{
    if (f->best_effort_timestamp != AV_NOPTS_VALUE)
        return static_cast<double>(f->best_effort_timestamp) * unit;
    if (std::isnan(previous))
        return 0.0;
    return previous + unit + f->repeat_pict * unit * 0.5;
}

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();
// Decode errors one time may meet before it is given up as damaged.
constexpr int kMaxDecodeErrors = 16;
// How far ahead an exact worker decodes on instead of seeking, until it has
// seen how far apart the key pictures are.
constexpr double kDefaultAhead = 2.0;
// ... and at most, however far apart they are.
constexpr double kLongestAhead = 10.0;

} // namespace

// One worker: a demuxer, a decoder and a converter of its own, the times of
// one run in ascending order. Everything here is the worker thread's.
class ThumbnailWorker {
public:
    ThumbnailWorker(ThumbnailExtractor& owner, const ThumbnailSpec& spec, std::vector<size_t> order,
                    const std::atomic<bool>& cancelled)
        : _owner(owner), _spec(spec), _order(std::move(order))
    {
        _deadline.cancelled = &cancelled;
    }

    void Run()
    {
        std::string error;
        const bool ready = Prepare(&error);
        for (size_t index : _order) {
            if (_deadline.cancelled->load())
                break;
            ThumbnailPicture picture;
            picture.index = index;
            picture.requested = _spec.times[index];
            if (!ready) {
                picture.error = error;
            } else {
                _deadline.until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(_spec.timeout));
                if (_spec.exact)
                    Exact(picture);
                else
                    Key(picture);
            }
            _owner.Finished(std::move(picture));
        }
    }

private:
    bool Prepare(std::string* error)
    {
        _deadline.until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(_spec.timeout));
        int result = 0;
        _input = OpenInput(_owner._source, _deadline, &result, false);
        if (!_input) {
            *error = std::string("cannot open the source: ") + ErrorText(result);
            return false;
        }
        const AVCodec* codec = nullptr;
        {
            std::lock_guard<std::mutex> guard(CodecLock());
            _video = av_find_best_stream(_input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        }
        if (_video < 0 || !codec) {
            *error = _video < 0 ? "the source has no video" : "no decoder for the video";
            return false;
        }
        const AVStream* stream = _input->streams[_video];
        _unit = av_q2d(stream->time_base);
        const std::string format = _input->iformat->name;
        _presentationTimes = format.rfind("mov,", 0) == 0 || format.rfind("matroska", 0) == 0 || format == "mpegts";
        // Only the video is read.
        for (unsigned i = 0; i < _input->nb_streams; ++i)
            _input->streams[i]->discard = static_cast<int>(i) == _video ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        _decoder = MakeCodecContext(codec);
        if (!_decoder || avcodec_parameters_to_context(_decoder.get(), stream->codecpar) < 0) {
            *error = "cannot set up the decoder";
            return false;
        }
        _decoder->pkt_timebase = stream->time_base;
        // The workers are the parallelism: one decoding thread each.
        _decoder->thread_count = 1;
        if (!_spec.exact)
            _decoder->skip_frame = AVDISCARD_NONKEY;
        {
            std::lock_guard<std::mutex> guard(CodecLock());
            result = avcodec_open2(_decoder.get(), codec, nullptr);
        }
        if (result < 0) {
            *error = std::string("cannot open the decoder: ") + ErrorText(result);
            return false;
        }
        _convert.SetPictureBox(_spec.width, _spec.height);
        _convert.Initialize(_decoder->pix_fmt, _decoder->width, _decoder->height, _spec.pixelFormat);
        _packet = MakePacket();
        return _packet != nullptr;
    }

    // The next video packet: those the landing read first, then the demuxer's.
    // 0, AVERROR_EOF or the demuxer's error.
    int NextPacket()
    {
        av_packet_unref(_packet.get());
        while (_leadAt < _lead.size()) {
            AVPacketPtr& p = _lead[_leadAt++];
            if (p && p->stream_index == _video) {
                av_packet_move_ref(_packet.get(), p.get());
                return 0;
            }
        }
        for (;;) {
            if (_deadline.Passed())
                return AVERROR_EXIT;
            const int result = av_read_frame(_input.get(), _packet.get());
            if (result < 0 || _packet->stream_index == _video)
                return result;
            av_packet_unref(_packet.get());
        }
    }

    // Positions the demuxer so that decoding forward reaches the first picture
    // at or after `t`, with the decoder emptied.
    int SeekTo(double t)
    {
        _lead.clear();
        _leadAt = 0;
        const int result = SeekForPictures(_input.get(), _video, t, _lead);
        avcodec_flush_buffers(_decoder.get());
        _drained = false;
        _lastTime = kNoTime;
        // Key pictures seen before the seek say nothing about the distance
        // between those after it.
        _lastKey = AV_NOPTS_VALUE;
        _decoding = result >= 0;
        return result;
    }

    void Fail(ThumbnailPicture& picture, const std::string& why)
    {
        picture.error = why;
        _decoding = false;
        _kept.valid = false;
    }

    // Converts the decoder's picture into `picture` (and keeps a copy for
    // later times that show the same picture).
    bool Hand(ThumbnailPicture& picture, double time)
    {
        const auto out = _convert.Convert(_frame);
        if (!out) {
            Fail(picture, "the picture cannot be converted");
            return false;
        }
        const AVFrame* f = out->CFrame();
        picture.time = time;
        picture.width = f->width;
        picture.height = f->height;
        picture.pixels.resize(static_cast<size_t>(out->GetVideoSize()));
        out->CopyFrame(picture.pixels.data());
        _kept = {true, picture.time, picture.width, picture.height, picture.pixels};
        return true;
    }

    bool Reuse(ThumbnailPicture& picture)
    {
        picture.time = _kept.time;
        picture.width = _kept.width;
        picture.height = _kept.height;
        picture.pixels = _kept.pixels;
        return true;
    }

    // Key picture at or before the time: one packet decoded alone.
    void Key(ThumbnailPicture& picture)
    {
        const double t = picture.requested;
        int result = SeekTo(t);
        if (result < 0)
            return Fail(picture, "seek failed: " + ErrorText(result));
        // The landing is a key picture at or before the time, not always the
        // last one (transport streams land a group early): the packets up to
        // the time are read on, without decoding, for a later key picture.
        AVPacketPtr key = MakePacket();
        const double slack = 1e-9;
        while ((result = NextPacket()) == 0) {
            const int64_t shown = _packet->pts != AV_NOPTS_VALUE ? _packet->pts : _packet->dts;
            const bool before = shown == AV_NOPTS_VALUE || static_cast<double>(shown) * _unit <= t + slack;
            if ((_packet->flags & AV_PKT_FLAG_KEY) && (before || !key->data)) {
                av_packet_unref(key.get());
                av_packet_move_ref(key.get(), _packet.get());
                if (!before)
                    break;
                continue;
            }
            // Nothing decoded later is shown at or before the time.
            if (_packet->dts != AV_NOPTS_VALUE ? static_cast<double>(_packet->dts) * _unit > t + slack : !before)
                if (key->data)
                    break;
        }
        if (!key->data)
            return Fail(picture, result == AVERROR_EOF || result == 0 ? "no key picture at or before this time"
                                                                      : "read failed: " + ErrorText(result));
        av_packet_unref(_packet.get());
        av_packet_move_ref(_packet.get(), key.get());
        const int64_t at = _packet->pts != AV_NOPTS_VALUE ? _packet->pts : _packet->dts;
        if (_kept.valid && at != AV_NOPTS_VALUE && at == _keptKey)
            return static_cast<void>(Reuse(picture));
        _kept.valid = false;
        result = avcodec_send_packet(_decoder.get(), _packet.get());
        if (result >= 0)
            result = avcodec_send_packet(_decoder.get(), nullptr);
        if (result >= 0)
            result = avcodec_receive_frame(_decoder.get(), _frame.CFrame());
        if (result < 0) {
            avcodec_flush_buffers(_decoder.get());
            return Fail(picture, "the key picture cannot be decoded: " + ErrorText(result));
        }
        // Decoded alone, a picture may come without a time of its own: its packet's then.
        const double time = _frame.CFrame()->best_effort_timestamp != AV_NOPTS_VALUE
                                ? PictureTime(_frame.CFrame(), _unit, kNoTime)
                                : at != AV_NOPTS_VALUE ? static_cast<double>(at) * _unit : 0.0;
        Hand(picture, time);
        av_frame_unref(_frame.CFrame());
        avcodec_flush_buffers(_decoder.get());
        _keptKey = at;
    }

    // The first picture at or after the time, as a player's seek shows it.
    void Exact(ThumbnailPicture& picture)
    {
        const double t = picture.requested;
        // The times come in ascending order and no picture lies between the
        // last time and the picture handed out for it: that picture is also
        // the first at or after `t` when it is not before `t`.
        if (_kept.valid && t <= _kept.time)
            return static_cast<void>(Reuse(picture));
        // Decoding on from the current position beats a seek while the time
        // lies less than a key interval ahead.
        const bool onward = _decoding && !std::isnan(_lastTime) && t > _lastTime && t - _lastTime <= _ahead;
        if (!onward) {
            const int result = SeekTo(t);
            if (result < 0)
                return Fail(picture, "seek failed: " + ErrorText(result));
        }
        int errors = 0;
        for (;;) {
            if (_deadline.Passed())
                return Fail(picture, "timed out");
            int result = avcodec_receive_frame(_decoder.get(), _frame.CFrame());
            if (result == 0) {
                _lastTime = PictureTime(_frame.CFrame(), _unit, _lastTime);
                if (_lastTime >= t) {
                    Hand(picture, _lastTime);
                    av_frame_unref(_frame.CFrame());
                    return;
                }
                av_frame_unref(_frame.CFrame());
                continue;
            }
            if (result == AVERROR_EOF)
                return Fail(picture, "no picture at or after this time");
            if (result != AVERROR(EAGAIN)) {
                if (++errors > kMaxDecodeErrors)
                    return Fail(picture, "damaged pictures: " + ErrorText(result));
                continue;
            }
            if (_drained)
                return Fail(picture, "no picture at or after this time");
            result = NextPacket();
            if (result == AVERROR_EOF) {
                _drained = true;
                avcodec_send_packet(_decoder.get(), nullptr);
                continue;
            }
            if (result < 0)
                return Fail(picture, result == AVERROR_EXIT ? "timed out" : "read failed: " + ErrorText(result));
            if (_packet->flags & AV_PKT_FLAG_KEY)
                NoteKey();
            // A picture shown before the time that no other picture refers to
            // is not decoded at all: it would be dropped, and skipping it
            // changes no other picture's bytes. Only for containers that store
            // presentation times (AVI's are decode times, reordered by the
            // decoder), which the decoder's picture times then follow.
            const bool early = _presentationTimes && _packet->pts != AV_NOPTS_VALUE &&
                               static_cast<double>(_packet->pts) * _unit < t;
            _decoder->skip_frame = early ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            if (avcodec_send_packet(_decoder.get(), _packet.get()) < 0 && ++errors > kMaxDecodeErrors)
                return Fail(picture, "damaged data");
        }
    }

    // Learns how far apart the key pictures lie, for the choice between
    // decoding on and seeking.
    void NoteKey()
    {
        const int64_t at = _packet->pts != AV_NOPTS_VALUE ? _packet->pts : _packet->dts;
        if (at == AV_NOPTS_VALUE)
            return;
        if (_lastKey != AV_NOPTS_VALUE && at > _lastKey)
            _ahead = std::min(kLongestAhead, std::max(_ahead, static_cast<double>(at - _lastKey) * _unit));
        _lastKey = at;
    }

    ThumbnailExtractor& _owner;
    const ThumbnailSpec& _spec;
    const std::vector<size_t> _order;
    Deadline _deadline;

    AVInputContextPtr _input;
    int _video = -1;
    double _unit = 0.0;
    bool _presentationTimes = false;
    AVCodecContextPtr _decoder;
    AVPacketPtr _packet;
    FFFrame _frame;
    FFColorSpace _convert;

    // Packets the landing read, handed to the decoder first.
    std::vector<AVPacketPtr> _lead;
    size_t _leadAt = 0;
    // The decoder's position: fed forward since the last seek, the time of
    // the last picture it gave, whether the end was sent.
    bool _decoding = false;
    bool _drained = false;
    double _lastTime = kNoTime;
    double _ahead = kDefaultAhead;
    int64_t _lastKey = AV_NOPTS_VALUE;

    // The last picture handed out, for times that show it again.
    struct Kept {
        bool valid = false;
        double time = 0.0;
        int width = 0, height = 0;
        std::vector<uint8_t> pixels;
    } _kept;
    int64_t _keptKey = AV_NOPTS_VALUE; // key pictures: its packet's time
};

bool ThumbnailExtractor::Open(const std::string& source, std::string* failure)
{
    _source = source;
    Deadline deadline;
    deadline.until = Clock::now() + std::chrono::seconds(30);
    int error = 0;
    AVInputContextPtr input = OpenInput(source, deadline, &error, true);
    if (!input) {
        if (failure)
            *failure = OpenFailureText(OpenFailureFromError(error));
        return false;
    }
    const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) {
        if (failure)
            *failure = "no video";
        return false;
    }
    const AVStream* stream = input->streams[video];
    const double unit = av_q2d(stream->time_base);
    _start = stream->start_time != AV_NOPTS_VALUE ? static_cast<double>(stream->start_time) * unit : 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        _duration = static_cast<double>(stream->duration) * unit;
    else if (input->duration > 0)
        _duration = static_cast<double>(input->duration) / AV_TIME_BASE;
    return true;
}

std::vector<double> ThumbnailExtractor::Spread(int count) const
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i)
        times.push_back(_start + _duration * i / count);
    return times;
}

void ThumbnailExtractor::Finished(ThumbnailPicture picture)
{
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _results.push_back(std::move(picture));
    }
    _ready.notify_one();
}

void ThumbnailExtractor::Run(const ThumbnailSpec& spec, const std::function<void(ThumbnailPicture&)>& deliver)
{
    const size_t n = spec.times.size();
    if (n == 0)
        return;
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return spec.times[a] < spec.times[b]; });
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const size_t workers = std::min(n, static_cast<size_t>(spec.workers > 0 ? spec.workers : cores));

    std::atomic<bool> cancelled{false};
    std::vector<std::unique_ptr<ThumbnailWorker>> runs;
    for (size_t w = 0; w < workers; ++w)
        runs.push_back(std::make_unique<ThumbnailWorker>(
            *this, spec,
            std::vector<size_t>(order.begin() + static_cast<ptrdiff_t>(w * n / workers),
                                order.begin() + static_cast<ptrdiff_t>((w + 1) * n / workers)),
            cancelled));
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _results.clear();
        _running = static_cast<int>(workers);
    }
    std::vector<std::thread> threads;
    // Joins every worker on the way out, also when `deliver` throws: the
    // workers are told to give up first.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::atomic<bool>& cancelled;
        ~Joiner()
        {
            for (auto& t : threads)
                if (t.joinable())
                    t.join();
        }
    } joiner{threads, cancelled};
    try {
        for (auto& run : runs) {
            ThumbnailWorker* worker = run.get();
            threads.emplace_back([this, worker] {
                worker->Run();
                std::lock_guard<std::mutex> guard(_mutex);
                --_running;
                _ready.notify_one();
            });
        }
    } catch (...) {
        cancelled = true;
        throw;
    }
    size_t handed = 0;
    while (handed < n) {
        std::unique_lock<std::mutex> lock(_mutex);
        _ready.wait(lock, [this] { return !_results.empty() || _running == 0; });
        if (_results.empty())
            break;
        ThumbnailPicture picture = std::move(_results.front());
        _results.pop_front();
        lock.unlock();
        ++handed;
        try {
            deliver(picture);
        } catch (...) {
            cancelled = true;
            throw;
        }
    }
}

} // namespace Quillet

#include "publish/PublishSink.h"

#include "core/CallScope.h"

#include <algorithm>
#include <stdexcept>

#include "core/UrlForLog.h"
#include "core/FFControlInfo.h"
#include "events/FFEventArgs.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Quillet {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIdleWait = std::chrono::milliseconds(100);

bool IsVideoPacket(const std::shared_ptr<FFData>& record)
{
    return record && record->GetType() == FFType::Packet &&
           static_cast<const FFPacket&>(*record).GetStreamType() == FFStreamType::Video;
}

bool SameBytes(const AVCodecContext* a, const AVCodecContext* b)
{
    return a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 || std::equal(a->extradata, a->extradata + a->extradata_size, b->extradata));
}

bool SameStream(const std::shared_ptr<FFCodecInfo>& a, const std::shared_ptr<FFCodecInfo>& b)
{
    if (!a || !b || !a->Context() || !b->Context())
        return !a == !b;
    const AVCodecContext* x = a->Context();
    const AVCodecContext* y = b->Context();
    return x->codec_id == y->codec_id && x->width == y->width && x->height == y->height &&
           x->sample_rate == y->sample_rate && x->ch_layout.nb_channels == y->ch_layout.nb_channels &&
           av_cmp_q(a->TimeBase(), b->TimeBase()) == 0 && SameBytes(x, y);
}

} // namespace

const char* PublishStateName(PublishState state)
{
    switch (state) {
    case PublishState::Connecting:
        return "connecting";
    case PublishState::Publishing:
        return "publishing";
    case PublishState::Retrying:
        return "retrying";
    case PublishState::Finished:
        return "finished";
    case PublishState::Failed:
        return "failed";
    case PublishState::Stopped:
        return "stopped";
    }
    return "unknown";
}

PublishSink::PublishSink(PublishTarget target, bool liveSource, bool paced, PublishBackoff backoff)
    : _target(std::move(target)), _live(liveSource), _paced(paced), _backoff(backoff), _muxer(_target, _stop)
{
    _status.url = _target.url;
}

PublishSink::~PublishSink()
{
    // On the worker itself (the sink goes with its engine, torn down at the
    // worker's exit) the wrapper hands the ended thread to the collector.
    Stop();
}

void PublishSink::Start()
{
    if (_worker.IsStarted())
        return;
    _muxer.SetMessenger(_messenger);
    _stop = false;
    _worker.Start([this] { _Run(); }, _messenger);
}

void PublishSink::RequestStop()
{
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        _stop = true;
    }
    _wake.notify_all();
    RoomMade(); // a stopped output never holds its source back
}

void PublishSink::Stop()
{
    RequestStop();
    _worker.Join(); // on the worker itself: it ends when its handler returns
}

// ---- source side --------------------------------------------------------------

FFStatus PublishSink::FFProcess(std::shared_ptr<FFData> record)
{
    if (!record)
        return FFStatus::Ready;
    std::lock_guard<std::mutex> guard(_queueLock);
    if (record->GetType() == FFType::AVCodec) {
        const auto& codec = static_cast<const FFAVCodec&>(*record);
        if (codec.video)
            _queueVideoTb = codec.video->TimeBase();
    } else if (record->GetType() == FFType::CodecInfo) {
        const auto& info = static_cast<const FFCodecInfo&>(*record);
        if (info.GetStreamType() == FFStreamType::Video)
            _queueVideoTb = info.TimeBase();
    }
    // Anything after an end (a seek back) means the source reads again.
    if (record->GetType() == FFType::EOSInfo)
        _sourceEnded = true;
    else if (record->GetType() == FFType::Packet)
        _sourceEnded = false;
    _queue.push_back(std::move(record));
    // While the output is down only the newest key picture on is worth keeping.
    const bool down = _status.state == PublishState::Retrying;
    if ((down && _queue.back() && IsVideoKey(*_queue.back())) || (_OverLimit() && !_MayHoldSource()))
        _TrimToNewestKey();
    _status.queued = _queue.size();
    _wake.notify_one();
    return _OverLimit() && _MayHoldSource() ? FFStatus::Full : FFStatus::Ready;
}

FFStatus PublishSink::GetStatus()
{
    std::lock_guard<std::mutex> guard(_queueLock);
    return _OverLimit() && _MayHoldSource() ? FFStatus::Full : FFStatus::Ready;
}

bool PublishSink::_OverLimit() const
{
    if (_queue.size() > kPublishingBacklog.records)
        return true;
    const auto first = std::find_if(_queue.begin(), _queue.end(), IsVideoPacket);
    const auto last = std::find_if(_queue.rbegin(), _queue.rend(), IsVideoPacket);
    if (first == _queue.end())
        return false;
    const AVPacket* a = static_cast<const FFPacket&>(**first).Get();
    const AVPacket* b = static_cast<const FFPacket&>(**last).Get();
    if (a->dts == AV_NOPTS_VALUE || b->dts == AV_NOPTS_VALUE)
        return false;
    return static_cast<double>(b->dts - a->dts) * av_q2d(_queueVideoTb) > kPublishingBacklog.seconds;
}

bool PublishSink::_MayHoldSource() const
{
    return !_live && !_stop && (_status.state == PublishState::Connecting || _status.state == PublishState::Publishing);
}

void PublishSink::_TrimToNewestKey()
{
    // Control records (descriptions, seeks, end of stream) stay in order.
    const auto newestKey = std::find_if(_queue.rbegin(), _queue.rend(),
                                         [](const std::shared_ptr<FFData>& r) { return r && IsVideoKey(*r); });
    const auto end = newestKey == _queue.rend() ? _queue.end() : std::prev(newestKey.base());
    const auto kept = std::remove_if(_queue.begin(), end, [](const std::shared_ptr<FFData>& r) {
        return r && r->GetType() == FFType::Packet;
    });
    _queue.erase(kept, end);
}

void PublishSink::Flush()
{
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        _queue.clear();
        _status.queued = 0;
        _sourceEnded = false;
    }
    RoomMade();
}

void PublishSink::DisconnectFromSource()
{
    FFDestNode<FFData>::DisconnectFromSource();
    FFProcess(std::make_shared<FFEOSInfo>());
}

PublishState PublishSink::_State() const
{
    std::lock_guard<std::mutex> guard(_queueLock);
    return _status.state;
}

PublishStatus PublishSink::Status() const
{
    std::lock_guard<std::mutex> guard(_queueLock);
    return _status;
}

// ---- worker -------------------------------------------------------------------

void PublishSink::_Run()
{
    while (!_stop) {
        // Events of this pass reach their handlers at its end, with no lock held.
        CallScope scope;
        const PublishState state = _State();
        if (_codec && !_muxer.IsOpen() && (state == PublishState::Connecting || state == PublishState::Retrying)) {
            _Connect();
            continue;
        }
        const auto record = _NextRecord();
        if (!record)
            continue;
        try {
            _Handle(record);
        } catch (const std::exception& e) {
            _ConnectionFailed(e);
        }
    }
    _CloseOutput();
    // No event: the application asked for the stop and may be waiting in it.
    std::lock_guard<std::mutex> guard(_queueLock);
    _status.state = PublishState::Stopped;
}

std::shared_ptr<FFData> PublishSink::_NextRecord()
{
    std::unique_lock<std::mutex> lock(_queueLock);
    if (_queue.empty())
        _wake.wait_for(lock, kIdleWait, [this] { return _stop || !_queue.empty(); });
    if (_queue.empty() || _stop)
        return nullptr;
    auto record = std::move(_queue.front());
    _queue.pop_front();
    _status.queued = _queue.size();
    lock.unlock();
    RoomMade(); // a source held back by the full queue may push again
    return record;
}

bool PublishSink::_WaitUntil(Clock::time_point when)
{
    std::unique_lock<std::mutex> lock(_queueLock);
    return !_wake.wait_until(lock, when, [this] { return _stop.load(); });
}

void PublishSink::_Connect()
{
    if (_State() == PublishState::Retrying && !_WaitUntil(_retryAt))
        return;
    try {
        _muxer.Open(_codec);
    } catch (const std::invalid_argument& e) {
        // The streams do not fit this output; another try would not change that.
        _CloseOutput();
        {
            std::lock_guard<std::mutex> guard(_queueLock);
            _status.lastError = e.what();
        }
        _SetState(PublishState::Failed, e.what());
        return;
    } catch (const std::exception& e) {
        _ConnectionFailed(e);
        return;
    }
    _failures = 0;
    _lastCycle = false;
    _started = false;
    _rebase = false;
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        if (_everConnected)
            ++_status.reconnects;
    }
    _everConnected = true;
    _SetState(PublishState::Publishing, {});
}

void PublishSink::_ConnectionFailed(const std::exception& e)
{
    _CloseOutput();
    if (_stop)
        return;
    bool ended = false;
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        ended = _sourceEnded && !_live;
    }
    if (ended && _lastCycle) {
        _GiveUp(std::string(e.what()) + " (the source has ended)");
        return;
    }
    _lastCycle = ended;
    ++_failures;
    const auto limit = std::chrono::duration<double>(_backoff.limit).count();
    const double base = std::min(limit, std::chrono::duration<double>(_backoff.first).count() *
                                            static_cast<double>(1u << std::min(_failures - 1, 16)));
    // Spread the retries of many publishers that lost the same server.
    std::uniform_real_distribution<double> spread(0.8, 1.2);
    const double delay = std::min(limit, base * spread(_jitter));
    _retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    LogWarn() << "Publishing to " << UrlForLog(_target.url) << " failed (" << e.what() << "); next attempt in " << delay << " s";
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        _status.lastError = e.what();
        _TrimToNewestKey();
    }
    _SetState(PublishState::Retrying, e.what());
}

void PublishSink::_GiveUp(const std::string& why)
{
    LogWarn() << "Publishing to " << UrlForLog(_target.url) << " failed for good: " << why;
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        _status.lastError = why;
        _queue.clear();
        _status.queued = 0;
    }
    _SetState(PublishState::Failed, why);
}

void PublishSink::_SetState(PublishState state, const std::string& message)
{
    {
        std::lock_guard<std::mutex> guard(_queueLock);
        if (_status.state == state)
            return;
        _status.state = state;
    }
    RoomMade(); // whether the source may be held back depends on the state
    LogInfo() << "Publishing to " << UrlForLog(_target.url) << ": " << PublishStateName(state)
              << (message.empty() ? "" : " - ") << message;
    FFPublishStatusArgs args(_target.url, static_cast<int32_t>(state), message);
    RaiseEvent(args);
}

void PublishSink::_CloseOutput()
{
    _muxer.Close();
    _started = false;
}

void PublishSink::_Handle(const std::shared_ptr<FFData>& record)
{
    switch (record->GetType()) {
    case FFType::Packet:
        _SendPacket(static_cast<const FFPacket&>(*record));
        break;
    case FFType::AVCodec:
    case FFType::CodecInfo:
        _TakeDescription(record);
        break;
    case FFType::SeekInfo:
    case FFType::ConnectionInfo:
        // The source's times jump; the output's must not.
        _rebase = _started;
        break;
    case FFType::EOSInfo:
        if (_muxer.IsOpen() || _State() != PublishState::Failed) {
            _CloseOutput();
            _SetState(PublishState::Finished, {});
        }
        break;
    }
}

void PublishSink::_TakeDescription(const std::shared_ptr<FFData>& record)
{
    std::shared_ptr<FFAVCodec> codec;
    if (record->GetType() == FFType::AVCodec) {
        codec = std::static_pointer_cast<FFAVCodec>(record);
    } else {
        auto info = std::static_pointer_cast<FFCodecInfo>(record);
        const bool video = info->GetStreamType() == FFStreamType::Video;
        codec = std::make_shared<FFAVCodec>(video ? info : (_codec ? _codec->video : nullptr),
                                            video ? (_codec ? _codec->audio : nullptr) : info);
    }
    const bool same = _codec && SameStream(_codec->video, codec->video) && SameStream(_codec->audio, codec->audio);
    const PublishState state = _State();
    if (same && state != PublishState::Finished)
        return; // the same description again (a new connection of the graph)
    // A new description: the output starts over with it, at once.
    _CloseOutput();
    _codec = std::move(codec);
    if (state != PublishState::Retrying)
        _SetState(PublishState::Connecting, {});
}

void PublishSink::_StartOrRebase(const AVPacket* p)
{
    const AVRational tb = _codec->video->TimeBase();
    if (!_started) {
        _offset = p->dts;
        _started = true;
        _rebase = false;
        _paceStart = Clock::now();
        LogInfo() << "Publishing to " << UrlForLog(_target.url) << " from the key picture at "
                  << static_cast<double>(p->dts) * av_q2d(tb) << " s";
        return;
    }
    _offset = p->dts - _nextVideoDts;
    _rebase = false;
}

void PublishSink::_Pace(int64_t dts, AVRational tb)
{
    if (!_paced || _live || dts <= 0)
        return;
    const auto due = _paceStart + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(static_cast<double>(dts) * av_q2d(tb)));
    if (due > Clock::now())
        _WaitUntil(due);
}

void PublishSink::_SendPacket(const FFPacket& packet)
{
    const AVPacket* p = packet.Get();
    if (!_muxer.IsOpen() || !p || p->dts == AV_NOPTS_VALUE)
        return;
    const bool video = packet.GetStreamType() == FFStreamType::Video;
    if (!video && (packet.GetStreamType() != FFStreamType::Audio || !_muxer.HasAudio()))
        return;
    const bool key = packet.IsKey();
    if (video && (!_started || _rebase)) {
        if (!key)
            return; // an output starts, and goes on after a jump, at a key picture
        _StartOrRebase(p);
    }
    if (!_started || _rebase)
        return;
    const AVRational tb = video ? _codec->video->TimeBase() : _codec->audio->TimeBase();
    const int64_t offset = video ? _offset : av_rescale_q(_offset, _codec->video->TimeBase(), tb);
    AVPacketPtr out = MakePacket();
    if (av_packet_ref(out.get(), p) < 0)
        throw std::bad_alloc();
    out->dts -= offset;
    if (out->pts != AV_NOPTS_VALUE)
        out->pts -= offset;
    // Sound from before the first picture would shift the stream off zero.
    if (out->dts < 0 && !video)
        return;
    if (video)
        _nextVideoDts = out->dts + std::max<int64_t>(out->duration, 1);
    _Pace(out->dts, tb);
    if (_stop)
        return;
    const int size = out->size;
    _muxer.Write(out.get(), packet.GetStreamType());
    std::lock_guard<std::mutex> guard(_queueLock);
    _status.bytes += static_cast<uint64_t>(size);
    ++_status.packets;
}

} // namespace Quillet

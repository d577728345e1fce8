#include "decode/ThumbnailWorker.h"
#include "core/AVErrorText.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/FFCodecLock.h"
#include "core/KeyPicture.h"
#include "source/SeekLanding.h"
#include "source/WebInput.h"

extern "C" {
#include <libavutil/error.h>
}

namespace Quillet {

namespace {

using ThumbnailInput::Clock;

int InterruptAtDeadline(void* opaque)
{
    return static_cast<const ThumbnailInput::Deadline*>(opaque)->Passed() ? 1 : 0;
}

bool FormatIs(const AVFormatContext* input, const char* prefix)
{
    return std::string(input->iformat->name).rfind(prefix, 0) == 0;
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

int64_t PacketTime(const AVPacket& p)
{
    return p.pts != AV_NOPTS_VALUE ? p.pts : p.dts;
}

// The size of the length before each NAL unit of an H.264 packet, from the
// decoder configuration in `extradata` (MP4, Matroska); 0 for start codes.
int NalLengthSize(const uint8_t* extradata, int size)
{
    return extradata && size >= 7 && extradata[0] == 1 ? (extradata[4] & 3) + 1 : 0;
}

// Whether an H.264 packet holds a slice of an IDR picture (NAL unit type 5).
bool HasIdrSlice(const AVPacket& p, int lengthSize)
{
    constexpr int kIdrSlice = 5;
    const uint8_t* d = p.data;
    const size_t size = p.data ? static_cast<size_t>(p.size) : 0;
    if (lengthSize == 0) {
        for (size_t i = 0; i + 3 < size; ++i)
            if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
                if ((d[i + 3] & 0x1f) == kIdrSlice)
                    return true;
                i += 2;
            }
        return false;
    }
    const auto length = static_cast<size_t>(lengthSize);
    for (size_t at = 0; at + length < size;) {
        size_t n = 0;
        for (size_t i = 0; i < length; ++i)
            n = (n << 8) | d[at + i];
        at += length;
        if (n == 0 || n > size - at)
            return false;
        if ((d[at] & 0x1f) == kIdrSlice)
            return true;
        at += n;
    }
    return false;
}

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();
constexpr double kTimeSlack = 1e-9;
// Decode errors one time may meet before it is given up as damaged.
constexpr int kMaxDecodeErrors = 16;
// How far ahead an exact worker decodes on instead of seeking, until it has
// seen how far apart the key pictures are.
constexpr double kDefaultAhead = 2.0;
// ... and at most, however far apart they are.
constexpr double kLongestAhead = 10.0;
// Index entries searched for a packet's own, from the last one listed at or
// before its decode time.
constexpr int kEntrySearch = 64;

} // namespace

AVInputContextPtr ThumbnailInput::Open(const std::string& source, Deadline& deadline, int* error, bool probe)
{
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        *error = AVERROR(ENOMEM);
        return nullptr;
    }
    raw->interrupt_callback = {&InterruptAtDeadline, &deadline};
    AskForTheRestWhenCut(raw);
    *error = avformat_open_input(&raw, source.c_str(), nullptr, nullptr); // frees `raw` on failure
    if (*error < 0)
        return nullptr;
    AVInputContextPtr input(raw);
    const bool indexed = FormatIs(raw, "mov,") || FormatIs(raw, "matroska");
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

ThumbnailWorker::ThumbnailWorker(const std::string& source, const ThumbnailSpec& spec, int decoderThreads,
                                 const std::atomic<bool>& cancelled)
    : _source(source), _spec(spec), _decoderThreads(std::max(1, decoderThreads)), _ahead(kDefaultAhead)
{
    _deadline.cancelled = &cancelled;
    _lastTime = kNoTime;
}

void ThumbnailWorker::StartClock()
{
    _deadline.until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(_spec.timeout));
}

void ThumbnailWorker::Run(const std::function<std::vector<size_t>()>& next,
                          const std::function<void(ThumbnailPicture)>& finished)
{
    std::string error;
    const bool ready = Prepare(&error);
    for (std::vector<size_t> run = next(); !run.empty(); run = next()) {
        for (size_t index : run) {
            const bool last = index == run.back();
            if (_deadline.cancelled->load())
                return;
            ThumbnailPicture picture;
            picture.index = index;
            picture.requested = _spec.times[index];
            if (!ready) {
                picture.error = error;
            } else {
                StartClock();
                if (_spec.exact)
                    Exact(picture, last);
                else
                    Key(picture);
            }
            finished(std::move(picture));
        }
    }
}

bool ThumbnailWorker::Prepare(std::string* error)
{
    StartClock();
    int result = 0;
    _input = ThumbnailInput::Open(_source, _deadline, &result, false);
    if (!_input) {
        *error = std::string("cannot open the source: ") + AVErrorText(result);
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
    AVStream* stream = _input->streams[_video];
    _unit = av_q2d(stream->time_base);
    _presentationTimes = FormatIs(_input.get(), "mov,") || FormatIs(_input.get(), "matroska") ||
                         std::string(_input->iformat->name) == "mpegts";
    _fullIndex = FormatIs(_input.get(), "mov,") && avformat_index_get_entries_count(stream) > 0;
    _decodeTimes = FormatIs(_input.get(), "mov,") || std::string(_input->iformat->name) == "mpegts";
    // Only the video is read.
    for (unsigned i = 0; i < _input->nb_streams; ++i)
        _input->streams[i]->discard = static_cast<int>(i) == _video ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    _decoder = MakeCodecContext(codec);
    if (!_decoder || avcodec_parameters_to_context(_decoder.get(), stream->codecpar) < 0) {
        *error = "cannot set up the decoder";
        return false;
    }
    _decoder->pkt_timebase = stream->time_base;
    // The workers are the parallelism; the decoder's own threads only make
    // up for cores no worker has. A key picture is one packet: only its
    // slices can go side by side.
    _decoder->thread_count = _decoderThreads;
    if (!_spec.exact)
        _decoder->skip_frame = AVDISCARD_NONKEY;
    // Picture threads (exact pictures on cores no worker has) ask for buffers
    // from copies of the decoder: they keep the decoder's own.
    _pictureThreads = _spec.exact && _decoderThreads > 1;
    if (!_pictureThreads) {
        _decoder->thread_type = FF_THREAD_SLICE;
        _frames.Install(_decoder.get());
    }
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        result = avcodec_open2(_decoder.get(), codec, nullptr);
    }
    if (result < 0) {
        *error = std::string("cannot open the decoder: ") + AVErrorText(result);
        return false;
    }
    _h264 = _decoder->codec_id == AV_CODEC_ID_H264;
    _nalLengthSize = NalLengthSize(stream->codecpar->extradata, stream->codecpar->extradata_size);
    // MP4's index hands out every H.264 packet whole, with its times and key
    // flag; the demuxer's parser would only read the headers the decoder
    // reads again, clearing a buffer the size of the packet each time.
    if (_fullIndex && _h264)
        _input->flags |= AVFMT_FLAG_NOPARSE;
    _convert.SetPictureBox(_spec.width, _spec.height);
    _convert.Initialize(_decoder->pix_fmt, _decoder->width, _decoder->height, _spec.pixelFormat);
    _packet = MakePacket();
    return _packet != nullptr;
}

// The next video packet: those the landing read first, then the demuxer's.
// 0, AVERROR_EOF or the demuxer's error.
int ThumbnailWorker::NextPacket()
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
// at or after `t`; an exact worker's decoder is emptied too.
int ThumbnailWorker::SeekTo(double t)
{
    _lead.clear();
    _leadAt = 0;
    // The last time's picture came out without a drain or a failure.
    const bool clean = _decoding && !_drained;
    const int result = SeekForPictures(_input.get(), _video, t, _lead);
    if (_spec.exact && !(result >= 0 && clean && LandingStartsOver()))
        avcodec_flush_buffers(_decoder.get());
    _drained = false;
    _lastTime = kNoTime;
    // Key pictures seen before the seek say nothing about the distance
    // between those after it.
    _lastKey = AV_NOPTS_VALUE;
    _decoding = result >= 0;
    return result;
}

// A flush makes an H.264 decoder set up its tables anew, and each target
// after a seek would pay for it. It can be left out when the decoder holds
// nothing back and the landing starts it over by itself: no reordering (each
// picture out as soon as its packet is in, so none is left once the target
// is out), no picture threads, and an IDR picture shown after every picture
// decoded so far.
bool ThumbnailWorker::LandingStartsOver() const
{
    if (!_h264 || _pictureThreads || _decoder->has_b_frames != 0 || std::isnan(_lastTime))
        return false;
    for (const AVPacketPtr& p : _lead)
        if (p && p->stream_index == _video)
            return IsCleanKey(*p) && p->pts != AV_NOPTS_VALUE && static_cast<double>(p->pts) * _unit > _lastTime &&
                   HasIdrSlice(*p, _nalLengthSize);
    return false;
}

void ThumbnailWorker::Fail(ThumbnailPicture& picture, const std::string& why)
{
    picture.error = why;
    _decoding = false;
    _kept.valid = false;
}

// Converts the decoder's picture into `picture` (and keeps a copy for later
// times that show the same picture).
bool ThumbnailWorker::Hand(ThumbnailPicture& picture, double time)
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

void ThumbnailWorker::Reuse(ThumbnailPicture& picture) const
{
    picture.time = _kept.time;
    picture.width = _kept.width;
    picture.height = _kept.height;
    picture.pixels = _kept.pixels;
}

// MP4's index lists every packet with its decode time: the key picture the
// demuxer lands on for `t` is checked against it instead of reading every
// packet up to `t`. True with that key picture's packet in `key` when it is
// shown by `t` and the index has no other key picture before the first
// packet decoded after `t` (no later key picture can be shown by `t`); false
// when the packets have to be read.
bool ThumbnailWorker::IndexedKeyLanding(double t, AVPacket* key)
{
    if (!_fullIndex || t < 0.0)
        return false;
    AVStream* stream = _input->streams[_video];
    const auto want = static_cast<int64_t>(std::floor(t / _unit));
    if (avformat_seek_file(_input.get(), _video, std::numeric_limits<int64_t>::min(), want, want,
                           AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    _lead.clear();
    _leadAt = 0;
    if (NextPacket() < 0)
        return false;
    const AVPacket& p = *_packet;
    if (!IsCleanKey(p) || p.pts == AV_NOPTS_VALUE || p.dts == AV_NOPTS_VALUE || p.pos < 0 ||
        static_cast<double>(p.pts) * _unit > t + kTimeSlack)
        return false;
    // The packet's own entry, by its place in the file; the index may count
    // decode times from another origin than the packets.
    const int count = avformat_index_get_entries_count(stream);
    const int from = std::max(0, av_index_search_timestamp(stream, p.dts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY));
    int at = -1;
    for (int i = from; i < count && i < from + kEntrySearch && at < 0; ++i)
        if (avformat_index_get_entry(stream, i)->pos == p.pos)
            at = i;
    if (at < 0)
        return false;
    const int64_t origin = avformat_index_get_entry(stream, at)->timestamp - p.dts;
    for (int i = at + 1; i < count; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(stream, i);
        if (static_cast<double>(e->timestamp - origin) * _unit > t + kTimeSlack)
            break;
        if (e->flags & AVINDEX_KEYFRAME)
            return false;
    }
    av_packet_move_ref(key, _packet.get());
    return true;
}

// Decodes one key picture into `_frame`. A decoder that shows a picture as
// soon as its packet is in gives it back at once and needs no flush before
// the next key picture (a flush makes some decoders set up their tables
// anew); one that holds pictures back for reordering is drained, and flushed
// before the next.
int ThumbnailWorker::DecodeKey(const AVPacket& key)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (_mustFlush) {
            avcodec_flush_buffers(_decoder.get());
            _mustFlush = false;
        }
        int result = avcodec_send_packet(_decoder.get(), &key);
        if (result >= 0) {
            result = avcodec_receive_frame(_decoder.get(), _frame.CFrame());
            if (result == AVERROR(EAGAIN)) {
                _mustFlush = true;
                result = avcodec_send_packet(_decoder.get(), nullptr);
                if (result >= 0)
                    result = avcodec_receive_frame(_decoder.get(), _frame.CFrame());
                return result;
            }
        }
        if (result < 0) {
            _mustFlush = true;
            return result;
        }
        // Out at once, it is this packet's picture when the times say so;
        // without times, the next key picture starts from a flushed decoder.
        const int64_t shown = _frame.CFrame()->pts;
        if (key.pts == AV_NOPTS_VALUE || shown == AV_NOPTS_VALUE) {
            _mustFlush = true;
            return 0;
        }
        if (shown == key.pts)
            return 0;
        av_frame_unref(_frame.CFrame());
        _mustFlush = true;
    }
    return AVERROR_BUG;
}

// Key picture at or before the time: one packet decoded alone.
void ThumbnailWorker::Key(ThumbnailPicture& picture)
{
    const double t = picture.requested;
    AVPacketPtr key = MakePacket();
    int result = 0;
    if (!IndexedKeyLanding(t, key.get())) {
        av_packet_unref(key.get());
        result = SeekTo(t);
        if (result < 0)
            return Fail(picture, "seek failed: " + AVErrorText(result));
        // The landing is a key picture at or before the time, not always the
        // last one (transport streams land a group early): the packets up to
        // the time are read on, without decoding, for a later key picture.
        while ((result = NextPacket()) == 0) {
            const int64_t shown = PacketTime(*_packet);
            const bool before = shown == AV_NOPTS_VALUE || static_cast<double>(shown) * _unit <= t + kTimeSlack;
            if ((_packet->flags & AV_PKT_FLAG_KEY) && (before || !key->data)) {
                av_packet_unref(key.get());
                av_packet_move_ref(key.get(), _packet.get());
                if (!before)
                    break;
                continue;
            }
            // Nothing decoded later is shown at or before the time.
            if (_packet->dts != AV_NOPTS_VALUE ? static_cast<double>(_packet->dts) * _unit > t + kTimeSlack : !before)
                if (key->data)
                    break;
        }
        if (!key->data)
            return Fail(picture, result == AVERROR_EOF || result == 0 ? "no key picture at or before this time"
                                                                      : "read failed: " + AVErrorText(result));
    }
    const int64_t at = PacketTime(*key);
    if (_kept.valid && at != AV_NOPTS_VALUE && at == _keptKey)
        return Reuse(picture);
    _kept.valid = false;
    result = DecodeKey(*key);
    if (result < 0)
        return Fail(picture, "the key picture cannot be decoded: " + AVErrorText(result));
    // Decoded alone, a picture may come without a time of its own: its packet's then.
    const double time = _frame.CFrame()->best_effort_timestamp != AV_NOPTS_VALUE
                            ? PictureTime(_frame.CFrame(), _unit, kNoTime)
                            : at != AV_NOPTS_VALUE ? static_cast<double>(at) * _unit : 0.0;
    Hand(picture, time);
    av_frame_unref(_frame.CFrame());
    _keptKey = at;
}

// The first picture at or after the time, as a player's seek shows it.
void ThumbnailWorker::Exact(ThumbnailPicture& picture, bool last)
{
    const double t = picture.requested;
    // The times come in ascending order and no picture lies between the
    // last time and the picture handed out for it: that picture is also
    // the first at or after `t` when it is not before `t`.
    if (_kept.valid && t <= _kept.time)
        return Reuse(picture);
    // Decoding on from the current position beats a seek while the time
    // lies less than a key interval ahead.
    const bool onward = _decoding && !std::isnan(_lastTime) && t > _lastTime && t - _lastTime <= _ahead;
    if (!onward) {
        const int result = SeekTo(t);
        if (result < 0)
            return Fail(picture, "seek failed: " + AVErrorText(result));
    }
    // The last time of a run reads ahead of the decoder (see ReadAhead).
    _lookahead = {};
    _lookahead.reading = last && _decodeTimes;
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
                return Fail(picture, "damaged pictures: " + AVErrorText(result));
            continue;
        }
        if (_drained)
            return Fail(picture, "no picture at or after this time");
        // One packet per turn: the decoder takes the next only once it has
        // given out what it could.
        if (!_lookahead.queue.empty()) {
            Queued next = std::move(_lookahead.queue.front());
            _lookahead.queue.pop_front();
            if (Feed(*next.packet, next.unlessReferred) < 0 && ++errors > kMaxDecodeErrors)
                return Fail(picture, "damaged data");
            continue;
        }
        if (_lookahead.settled) {
            // Drained, the decoder starts over at the next time.
            _drained = true;
            _decoding = false;
            avcodec_send_packet(_decoder.get(), nullptr);
            continue;
        }
        result = NextPacket();
        if (result == AVERROR_EOF) {
            // Everything is read: what is held settles the target.
            if (!_lookahead.held.empty()) {
                Settle();
                continue;
            }
            _drained = true;
            avcodec_send_packet(_decoder.get(), nullptr);
            continue;
        }
        if (result < 0)
            return Fail(picture, result == AVERROR_EXIT ? "timed out" : "read failed: " + AVErrorText(result));
        if (_packet->flags & AV_PKT_FLAG_KEY)
            NoteKey();
        // A picture shown before the time that no other picture refers to
        // is not decoded at all: it would be dropped, and skipping it
        // changes no other picture's bytes. Only for containers that store
        // presentation times (AVI's are decode times, reordered by the
        // decoder), which the decoder's picture times then follow.
        const bool early = _presentationTimes && _packet->pts != AV_NOPTS_VALUE &&
                           static_cast<double>(_packet->pts) * _unit < t;
        if (_lookahead.reading && ReadAhead(t, early))
            continue;
        if (Feed(*_packet, early) < 0 && ++errors > kMaxDecodeErrors)
            return Fail(picture, "damaged data");
    }
}

// `unlessReferred`: skipped when no other picture refers to it. Picture
// threads decode everything: they would apply one packet's setting to
// another's picture.
int ThumbnailWorker::Feed(const AVPacket& packet, bool unlessReferred)
{
    _decoder->skip_frame = unlessReferred && !_pictureThreads ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    return avcodec_send_packet(_decoder.get(), &packet);
}

// Reading ahead for the last time of a run. A decoder that reorders holds a
// picture back until it has decoded the next ones (after it in decoding
// order, often shown after it too); only draining lets it out without them.
// From the first packet shown at or after the time, packets are held instead
// of fed; the earliest shown of them is the target, settled once a packet
// decoded at or after its time is read (no packet is shown before it is
// decoded, so none to come is shown before the target). Then the held
// packets up to the target's are queued, those no other picture refers to
// to be skipped, and the rest dropped. True when `_packet` was taken (held
// or queued); false when it is to be fed as usual (`early`: unless referred
// to).
bool ThumbnailWorker::ReadAhead(double t, bool early)
{
    const AVPacket& p = *_packet;
    const bool ordered = _lookahead.lastDts == AV_NOPTS_VALUE || p.dts > _lookahead.lastDts;
    _lookahead.lastDts = p.dts;
    if (p.pts == AV_NOPTS_VALUE || p.dts == AV_NOPTS_VALUE || p.dts > p.pts || !ordered) {
        // Without both times in order nothing can be settled: what is held
        // goes in as it would have, then this packet, and on as usual.
        _lookahead.reading = false;
        if (_lookahead.held.empty())
            return false;
        for (AVPacketPtr& h : _lookahead.held) {
            const bool before = static_cast<double>(h->pts) * _unit < t;
            _lookahead.queue.push_back({std::move(h), before});
        }
        _lookahead.held.clear();
        AVPacketPtr copy = MakePacket();
        av_packet_move_ref(copy.get(), _packet.get());
        _lookahead.queue.push_back({std::move(copy), early});
        return true;
    }
    if (_lookahead.held.empty() && static_cast<double>(p.pts) * _unit < t)
        return false;
    AVPacketPtr copy = MakePacket();
    av_packet_move_ref(copy.get(), _packet.get());
    const AVPacket& held = *copy;
    if (static_cast<double>(held.pts) * _unit >= t && (_lookahead.target == AV_NOPTS_VALUE || held.pts < _lookahead.target))
        _lookahead.target = held.pts;
    const bool settled = _lookahead.target != AV_NOPTS_VALUE && held.dts >= _lookahead.target;
    _lookahead.held.push_back(std::move(copy));
    if (settled)
        Settle();
    return true;
}

// Queues the held packets up to the target's, only the target sure to be
// decoded; the drain follows them.
void ThumbnailWorker::Settle()
{
    for (AVPacketPtr& p : _lookahead.held) {
        const bool target = p->pts == _lookahead.target;
        _lookahead.queue.push_back({std::move(p), !target});
        if (target)
            break;
    }
    _lookahead.held.clear();
    _lookahead.settled = true;
}

// Learns how far apart the key pictures lie, for the choice between decoding
// on and seeking.
void ThumbnailWorker::NoteKey()
{
    const int64_t at = PacketTime(*_packet);
    if (at == AV_NOPTS_VALUE)
        return;
    if (_lastKey != AV_NOPTS_VALUE && at > _lastKey)
        _ahead = std::min(kLongestAhead, std::max(_ahead, static_cast<double>(at - _lastKey) * _unit));
    _lastKey = at;
}

} // namespace Quillet

#include "source/SeekLanding.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/KeyPicture.h"

namespace Quillet {
namespace {

// Packets read after a seek while looking for the first video packet.
constexpr int kProbePackets = 2000;
// Step-back attempts; the step doubles each time, from half a second.
constexpr int kMaxAttempts = 24;
constexpr double kFirstStepSeconds = 0.5;
constexpr double kTimeSlack = 1e-9;
// Files without a duration have no index worth trusting: any packet this
// close to the target will do.
constexpr int64_t kAnySeekWindow = 2000000;

struct Landing {
    bool found = false;            // a video key packet
    int64_t time = AV_NOPTS_VALUE; // of the last video packet read: presentation, else decode time
};

int64_t PacketTime(const AVPacket& packet)
{
    return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

// Reads up to and including the first video key packet. Demuxers that search
// the file for a time stand on the first packet after it, rarely a key one:
// video packets before the key are dropped (they cannot be decoded), sound is
// kept for the decoder to trim.
Landing ReadToFirstVideoKey(AVFormatContext* context, int videoIndex, std::vector<AVPacketPtr>& read)
{
    Landing landing;
    for (int i = 0; i < kProbePackets; ++i) {
        AVPacketPtr packet = MakePacket();
        if (av_read_frame(context, packet.get()) < 0)
            return landing;
        if (packet->stream_index != videoIndex) {
            read.push_back(std::move(packet));
            continue;
        }
        landing.time = PacketTime(*packet);
        if (IsCleanKey(*packet)) {
            landing.found = true;
            read.push_back(std::move(packet));
            return landing;
        }
    }
    return landing;
}

// Reads on from a key picture shown by `seconds` to the last such key before
// it: the demuxer may have stood a group of pictures or more too early (a
// transport stream's search stands on whatever packet holds an earlier
// time, and stepping back doubles its step), and decoding from there would
// not reach the target within one band. Video packets before a later key
// go; sound stays for the decoder to trim. Stops at the first video packet
// decoded after `seconds`: no key picture shown by then can follow it.
void ReadOnToLastKeyShownBy(AVFormatContext* context, int videoIndex, double seconds, double unit,
                            std::vector<AVPacketPtr>& read)
{
    for (int i = 0; i < kProbePackets; ++i) {
        AVPacketPtr packet = MakePacket();
        if (av_read_frame(context, packet.get()) < 0)
            return;
        if (packet->stream_index != videoIndex) {
            read.push_back(std::move(packet));
            continue;
        }
        const int64_t shown = PacketTime(*packet);
        if (IsCleanKey(*packet) && shown != AV_NOPTS_VALUE && static_cast<double>(shown) * unit <= seconds + kTimeSlack)
            read.erase(std::remove_if(read.begin(), read.end(),
                                      [&](const AVPacketPtr& p) { return p->stream_index == videoIndex; }),
                       read.end());
        const int64_t decoded = packet->dts != AV_NOPTS_VALUE ? packet->dts : shown;
        const bool past = decoded != AV_NOPTS_VALUE && static_cast<double>(decoded) * unit > seconds + kTimeSlack;
        read.push_back(std::move(packet));
        if (past)
            return;
    }
}

// The stream that starts first: sound often starts before the first picture
// (encoder delay), and a demuxer skips every track's packets before the time
// it was asked for.
int EarliestStream(const AVFormatContext* context, int videoIndex)
{
    int earliest = videoIndex;
    double earliestTime = std::numeric_limits<double>::infinity();
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (stream->start_time == AV_NOPTS_VALUE || (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO))
            continue;
        const double t = static_cast<double>(stream->start_time) * av_q2d(stream->time_base);
        if (t < earliestTime) {
            earliest = static_cast<int>(i);
            earliestTime = t;
        }
    }
    return earliest;
}

// Formats that seek by searching the file for timestamps can simply start
// over at byte 0; those with an index of their own are asked for their first
// entry, of the stream that starts first, then of the video.
int SeekToStart(AVFormatContext* context, int videoIndex)
{
    const AVInputFormat* format = context->iformat;
    if (!format->read_seek && !format->read_seek2 && !(format->flags & AVFMT_NO_BYTE_SEEK))
        return avformat_seek_file(context, -1, std::numeric_limits<int64_t>::min(), 0, 0, AVSEEK_FLAG_BYTE);
    int result = -1;
    for (int index : {EarliestStream(context, videoIndex), videoIndex}) {
        const AVStream* stream = context->streams[index];
        const int64_t first = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        result = avformat_seek_file(context, index, std::numeric_limits<int64_t>::min(), first, first,
                                    AVSEEK_FLAG_BACKWARD);
        if (result >= 0)
            return result;
    }
    const AVStream* stream = context->streams[videoIndex];
    const int64_t first = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    return avformat_seek_file(context, videoIndex, std::numeric_limits<int64_t>::min(), first,
                              std::numeric_limits<int64_t>::max(), 0);
}

// Steps back until the next video packet is a key picture shown at or before
// the target, or to the start.
std::vector<AVPacketPtr> LandBeforeKeyPicture(AVFormatContext* context, int videoIndex, double seconds, int* error)
{
    std::vector<AVPacketPtr> read;
    const AVStream* stream = context->streams[videoIndex];
    const double unit = av_q2d(stream->time_base);
    if (unit <= 0.0)
        return read;
    const auto shownBy = [&](int64_t t) { return static_cast<double>(t) * unit <= seconds + kTimeSlack; };
    const int64_t first = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    // Times are compared as the decoder compares them: count times unit.
    const double wanted = std::floor(seconds / unit);
    int64_t want = wanted < static_cast<double>(first) ? first : static_cast<int64_t>(wanted);
    int64_t step = std::max<int64_t>(1, static_cast<int64_t>(kFirstStepSeconds / unit));

    for (int attempt = 0; attempt < kMaxAttempts && want > first; ++attempt) {
        read.clear();
        const int result = avformat_seek_file(context, videoIndex, std::numeric_limits<int64_t>::min(), want, want,
                                              AVSEEK_FLAG_BACKWARD);
        if (result >= 0) {
            const Landing landing = ReadToFirstVideoKey(context, videoIndex, read);
            if (landing.found && landing.time == AV_NOPTS_VALUE)
                return read;
            if (landing.found && shownBy(landing.time)) {
                ReadOnToLastKeyShownBy(context, videoIndex, seconds, unit, read);
                return read;
            }
            if (landing.time != AV_NOPTS_VALUE && landing.time < want)
                want = landing.time;
        }
        want -= step;
        step *= 2;
    }
    read.clear();
    const int result = SeekToStart(context, videoIndex);
    if (result < 0)
        *error = result;
    else
        ReadOnToLastKeyShownBy(context, videoIndex, seconds, unit, read);
    return read;
}

} // namespace

int SeekForPictures(AVFormatContext* context, int videoIndex, double seconds, std::vector<AVPacketPtr>& lead)
{
    int error = 0;
    const auto micros = static_cast<int64_t>(seconds * 1000000.0);
    if (context->duration < 0)
        return avformat_seek_file(context, -1, micros - kAnySeekWindow, micros, micros + kAnySeekWindow,
                                  AVSEEK_FLAG_ANY);
    if (videoIndex < 0)
        return avformat_seek_file(context, -1, std::numeric_limits<int64_t>::min(), micros,
                                  std::numeric_limits<int64_t>::max(), AVSEEK_FLAG_BACKWARD);
    lead = LandBeforeKeyPicture(context, videoIndex, seconds, &error);
    return error;
}

} // namespace Quillet

#include "core/BitstreamConversion.h"

#include <set>
#include <stdexcept>

#include "core/FFAVPtr.h"

extern "C" {
#include <libavutil/error.h>
}

namespace Quillet {
namespace {

// Containers that keep an AAC decoder configuration once, in the header,
// and raw frames in the packets.
bool KeepsAacConfiguration(const std::string& container)
{
    static const std::set<std::string> names = {"mp4", "mov", "ipod", "ismv", "3gp", "3g2", "psp", "f4v",
                                                "matroska", "webm", "flv"};
    return names.count(container) > 0;
}

// Containers that carry H.264/H.265 as a byte stream with start codes.
bool CarriesByteStream(const std::string& container)
{
    static const std::set<std::string> names = {"mpegts", "rtp_mpegts", "h264", "hevc"};
    return names.count(container) > 0;
}

// Length-prefixed NAL units announce themselves by their configuration
// record, whose first byte (its version) is 1; a byte stream's starts 0.
bool LengthPrefixed(const AVCodecParameters* in)
{
    return in->extradata_size > 0 && in->extradata[0] == 1;
}

} // namespace

std::string BitstreamConversion::FiltersFor(const std::string& container, const AVCodecParameters* in)
{
    if (!in)
        return "";
    // An AAC stream without a configuration carries it in every ADTS header.
    if (in->codec_id == AV_CODEC_ID_AAC && in->extradata_size == 0 && KeepsAacConfiguration(container))
        return "aac_adtstoasc";
    if (in->codec_id == AV_CODEC_ID_H264 && LengthPrefixed(in) && CarriesByteStream(container))
        return "h264_mp4toannexb";
    if (in->codec_id == AV_CODEC_ID_HEVC && LengthPrefixed(in) && CarriesByteStream(container))
        return "hevc_mp4toannexb";
    return "";
}

BitstreamConversion::BitstreamConversion(const std::string& container, const AVCodecParameters* in,
                                         AVRational timeBase)
    : _names(FiltersFor(container, in))
{
    if (_names.empty())
        return;
    AVBSFContext* raw = nullptr;
    if (av_bsf_list_parse_str(_names.c_str(), &raw) < 0 || !raw)
        throw std::runtime_error("Cannot create the bitstream filter " + _names);
    _filters.reset(raw);
    if (avcodec_parameters_copy(_filters->par_in, in) < 0)
        throw std::bad_alloc();
    _filters->time_base_in = timeBase;
    const int r = av_bsf_init(_filters.get());
    if (r < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(r, text, sizeof text);
        throw std::runtime_error("Cannot open the bitstream filter " + _names + ": " + text);
    }
}

int BitstreamConversion::Convert(AVPacket* packet, const std::function<int(AVPacket*)>& write)
{
    if (!_filters)
        return write(packet);
    // A packet the chain refuses or fails on is lost alone; the stream goes on.
    if (av_bsf_send_packet(_filters.get(), packet) < 0) {
        av_packet_unref(packet);
        return AVERROR(EINVAL);
    }
    return _Receive(write);
}

int BitstreamConversion::Drain(const std::function<int(AVPacket*)>& write)
{
    if (!_filters)
        return 0;
    if (av_bsf_send_packet(_filters.get(), nullptr) < 0)
        return 0; // drained before
    return _Receive(write);
}

int BitstreamConversion::_Receive(const std::function<int(AVPacket*)>& write)
{
    AVPacketPtr out = MakePacket();
    if (!out)
        throw std::bad_alloc();
    int result = 0;
    for (;;) {
        const int r = av_bsf_receive_packet(_filters.get(), out.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return result;
        if (r < 0)
            return AVERROR(EINVAL);
        const int w = write(out.get());
        av_packet_unref(out.get()); // a muxer that took the reference left nothing here
        if (w < 0 && result == 0)
            result = w;
    }
}

} // namespace Quillet

#include "core/BitstreamConversion.h"
#include "core/AVErrorText.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <stdexcept>
#include <vector>

#include "core/FFAVPtr.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace Quillet {
namespace {

// Containers that keep an AAC decoder configuration once, in the header
// (for RTSP: the session description), and raw frames in the packets.
bool KeepsAacConfiguration(const std::string& container)
{
    static const std::set<std::string> names = {"mp4", "mov", "ipod", "ismv", "3gp", "3g2", "psp", "f4v",
                                                "matroska", "webm", "flv", "rtsp", "rtp"};
    return names.count(container) > 0;
}

// The decoder configuration of AAC-LC as its ADTS headers give it, so that a
// container gets it in its header rather than only with the first packet
// (an RTSP session description cannot wait for it). Other profiles signal
// more than their headers say (HE-AAC's ADTS header gives the core rate):
// they wait for the conversion's first packet.
std::vector<uint8_t> LowComplexityConfiguration(const AVCodecParameters* in)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    const int channels = in->ch_layout.nb_channels;
    if (in->profile != FF_PROFILE_AAC_LOW || channels < 1 || channels > 8 || channels == 7)
        return {};
    const auto rate = std::find(std::begin(rates), std::end(rates), in->sample_rate);
    if (rate == std::end(rates))
        return {};
    const int index = static_cast<int>(rate - std::begin(rates));
    const int layout = channels == 8 ? 7 : channels;
    constexpr int kLowComplexityObject = 2;
    return {static_cast<uint8_t>(kLowComplexityObject << 3 | index >> 1),
            static_cast<uint8_t>((index & 1) << 7 | layout << 3)};
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
        throw std::runtime_error("Cannot open the bitstream filter " + _names + ": " + AVErrorText(r));
    }
    AVCodecParameters* out = _filters->par_out;
    if (in->codec_id == AV_CODEC_ID_AAC && out->extradata_size == 0) {
        const std::vector<uint8_t> configuration = LowComplexityConfiguration(in);
        if (!configuration.empty()) {
            out->extradata = static_cast<uint8_t*>(av_mallocz(configuration.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!out->extradata)
                throw std::bad_alloc();
            std::copy(configuration.begin(), configuration.end(), out->extradata);
            out->extradata_size = static_cast<int>(configuration.size());
        }
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

#pragma once
// The bitstream conversion one stream needs on its way into a container,
// chosen here for every writer (recorded files and published outputs), so
// that no writer depends on which conversions a muxer happens to insert by
// itself (the fragmented MP4 writer inserts none, and loses ADTS sound):
//  - AAC in ADTS frames (MPEG-TS, HLS, SRT, raw AAC sources) becomes raw
//    frames with one decoder configuration, for the containers that keep the
//    configuration once: the MP4 family, Matroska/WebM, FLV and RTSP (whose
//    session description needs it before any packet: AAC-LC's is known from
//    the stream description);
//  - H.264/H.265 with length-prefixed NAL units (MP4, Matroska sources) gets
//    start codes and in-band parameter sets, for the containers that carry a
//    byte stream: MPEG-TS and raw elementary streams.
// Everything else passes unchanged; muxers turn a byte stream into length
// prefixes themselves. A configuration the conversion only learns from the
// first packet travels as new-extradata side data on that packet.
//
// Owned and used by one writer on that writer's thread; no locking.
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/bsf.h>
}

namespace Quillet {

class BitstreamConversion {
public:
    // The filter chain a stream described by `in` needs to go into the muxer
    // named `container` (for HLS, the muxer of its segments: "mpegts" or
    // "mp4"); empty when it goes in unchanged.
    static std::string FiltersFor(const std::string& container, const AVCodecParameters* in);

    // Opens the chain FiltersFor chooses; none when it chooses nothing.
    // Throws std::runtime_error when FFmpeg cannot open it.
    BitstreamConversion(const std::string& container, const AVCodecParameters* in, AVRational timeBase);

    bool Converts() const { return _filters != nullptr; }
    const std::string& Filters() const { return _names; }
    // The description of the converted stream (what the container's stream
    // must say); null when nothing converts.
    const AVCodecParameters* Output() const { return _filters ? _filters->par_out : nullptr; }

    // Takes `packet`'s reference and hands every packet that comes out to
    // `write`, which takes theirs. Returns the first negative result of
    // `write`, or AVERROR(EINVAL) for a packet the chain cannot convert (that
    // packet alone is lost, as one a muxer turns down); otherwise 0. Without
    // a chain, `write(packet)`.
    int Convert(AVPacket* packet, const std::function<int(AVPacket*)>& write);
    // Hands out what the chain still holds, at the end of the stream.
    int Drain(const std::function<int(AVPacket*)>& write);

private:
    struct Deleter {
        void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
    };
    int _Receive(const std::function<int(AVPacket*)>& write);

    std::string _names;
    std::unique_ptr<AVBSFContext, Deleter> _filters;
};

} // namespace Quillet

#pragma once
// Where a publishing output goes and how: the URL's scheme chooses the
// protocol and its container. Plain value type; any thread.
//
//   rtsp://host:port/path     RTSP ANNOUNCE/RECORD, interleaved over TCP
//   rtmp://host:port/app/key  FLV (H.264 video, AAC audio only)
//   srt://host:port?...       MPEG-TS in SRT (caller mode unless the URL says otherwise)
//   some/folder/name.m3u8     HLS: a rolling playlist beside its segments;
//                             query options: segments=ts|fmp4, window=N
//                             (segments kept in the playlist), time=S
//                             (target segment seconds)
#include <string>

#include "core/FFAVCodec.h"

namespace Quillet {

enum class PublishProtocol { Rtsp, Rtmp, Srt, Hls };

struct PublishTarget {
    // The URL as the application gave it; it names the output everywhere.
    std::string url;
    PublishProtocol protocol = PublishProtocol::Rtsp;
    // What the muxer opens: the URL, or for HLS the playlist path without options.
    std::string address;
    // HLS only.
    bool fmp4Segments = false;
    int window = 5;
    double segmentSeconds = 2.0;

    // Throws std::invalid_argument for a URL no protocol takes, or for an
    // HLS option it cannot read.
    static PublishTarget FromUrl(const std::string& url);

    // The libavformat muxer for the protocol.
    const char* MuxerName() const;
    // The container the packets end up in: the muxer's, for HLS its segments'.
    const char* ContainerName() const;
    // Throws std::invalid_argument, naming the codec, when the protocol's
    // container cannot carry a stream of `codec` (RTMP: H.264 and AAC only).
    void CheckCodecs(const FFAVCodec& codec) const;
    // Whether the muxer opens its own output (RTSP and HLS) or writes to one
    // opened for it.
    bool MuxerOpensOutput() const { return protocol == PublishProtocol::Rtsp || protocol == PublishProtocol::Hls; }
};

// Whether this FFmpeg build can speak SRT.
bool SrtAvailable();

} // namespace Quillet

#pragma once
// RTP packets of one stream back into the codec's access units: H.264
// (RFC 6184) and H.265 (RFC 7798) pictures, AAC frames (RFC 3640),
// Motion JPEG pictures (RFC 2435, headers and tables rebuilt), and the codecs
// whose packets are their frames (G.711, G.722, G.726, Opus) or are joined
// up to the marker (MPEG-4 part 2).
//
// A picture is handed on the moment it is complete: at the RTP marker bit of
// its last packet, or when a packet with another timestamp shows it ended
// (a camera that never sets the marker, or whose marked packet was lost).
// A picture that lost packets is handed on with what arrived, flagged
// corrupt; nothing ever waits for a packet that will not come.
//
// Threads: a depacketizer belongs to its connection's reader; no lock.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "camera/RtspProtocol.h"

namespace Quillet {

struct RtpPacketView {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const uint8_t* payload = nullptr;
    std::size_t size = 0;
};

// False when the bytes are no RTP version 2 packet.
bool ParseRtpPacket(const uint8_t* data, std::size_t size, RtpPacketView& packet);

struct AccessUnit {
    std::vector<uint8_t> data; // Annex B for H.264/H.265, a whole JPEG file for Motion JPEG
    uint32_t timestamp = 0;    // RTP timestamp
    bool key = false;
    bool corrupt = false;
};

// What a media section of the session description says about its stream.
struct MediaFacts {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int clockRate = 0;
    std::vector<uint8_t> extradata; // Annex-B parameter sets, AudioSpecificConfig, VOL header
    int sampleRate = 0;
    int channels = 0;
    int bitsPerCodedSample = 0;
    double frameRate = 0.0;
};

// Nothing for a codec this client cannot unpack.
std::optional<MediaFacts> DescribeMedia(const SdpMedia& media);

class RtpDepacketizer {
public:
    virtual ~RtpDepacketizer() = default;
    // `lossBefore`: packets are missing between the previous packet and this
    // one. Complete units are appended to `out`.
    virtual void Push(const RtpPacketView& packet, bool lossBefore, std::vector<AccessUnit>& out) = 0;
};

std::unique_ptr<RtpDepacketizer> MakeDepacketizer(const SdpMedia& media, const MediaFacts& facts);

} // namespace Quillet

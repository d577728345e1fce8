#pragma once
// Codec parameter sets (H.264 SPS/PPS, HEVC VPS/SPS/PPS) as cameras send
// them: in the SDP (extradata) and again in-band before key frames. A change
// of these bytes is a change of the stream's codec configuration.
// Plain values, kept by a CameraStream and so used by its connection's
// reader thread only.
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace Quillet {

using NalUnit = std::vector<uint8_t>;

struct ParameterSets {
    std::vector<NalUnit> vps; // HEVC only
    std::vector<NalUnit> sps;
    std::vector<NalUnit> pps;

    bool Empty() const { return vps.empty() && sps.empty() && pps.empty(); }
    bool operator==(const ParameterSets&) const = default;
    // Annex-B: every unit behind a four-byte start code, VPS, SPS, PPS.
    std::vector<uint8_t> ToAnnexB() const;
};

bool HasParameterSets(AVCodecID codec);
// The NAL units of an Annex-B byte stream (3- or 4-byte start codes).
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, std::size_t size);
// Parameter sets found in Annex-B data or, for H.264, an avcC record.
ParameterSets FindParameterSets(AVCodecID codec, const uint8_t* data, std::size_t size);
// An H.265 picture is a key picture when it holds an IRAP unit (types 16 to
// 23); an H.264 one when it holds an IDR slice. Other codecs: false.
bool HasKeyPicture(AVCodecID codec, const uint8_t* data, std::size_t size);
// Whether Annex-B H.264 or H.265 data holds a coded slice (H.264 types 1 to 5,
// H.265 types 0 to 31), and not only delimiters, parameter sets or SEI. Other
// codecs, and data without start codes: true when not empty.
bool HasPicture(AVCodecID codec, const uint8_t* data, std::size_t size);
// `current` with the kinds present in `update` replaced by them.
ParameterSets MergeParameterSets(const ParameterSets& current, const ParameterSets& update);

} // namespace Quillet

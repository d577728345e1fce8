#pragma once
// The 960-byte codec-context image of the wire format, written and read field
// by field. Only the fields a receiver needs to rebuild a decoder or a muxer
// stream are carried; everything else is zero. Pure functions of the
// context and the bytes: any thread, no lock.
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace Quillet {

class WireWriter;
class WireReader;

namespace CodecImage {

constexpr size_t kSize = 960;
constexpr size_t kExtraDataSize = 104;
constexpr size_t kIntraMatrix = 316;
constexpr size_t kInterMatrix = 320;
constexpr size_t kRcOverrideCount = 544;

// What the trailing blocks after the image hold.
struct TrailingBlocks {
    int32_t extraDataSize = 0;
    bool intraMatrix = false;
    bool interMatrix = false;
    int32_t rcOverrideCount = 0;
};

// Writes the image of `c` at `base`. Throws std::invalid_argument for a codec
// or format that has no wire number.
void Write(WireWriter& w, size_t base, const AVCodecContext* c);
// Reads the presence markers of the image at `base`.
TrailingBlocks ReadTrailing(const WireReader& r, size_t base);
// Restores the carried fields (not extra data, matrices or overrides) into `c`.
void Read(const WireReader& r, size_t base, AVCodecContext* c);

} // namespace CodecImage
} // namespace Quillet

#pragma once
// Numbers that name things (codec ids, pixel and sample formats, media types)
// travel in one frozen numbering, translated by name to and from the numbers
// of the FFmpeg this library is linked with. The wire therefore never changes
// when the linked FFmpeg does. Pure functions over constant tables: any
// thread, no lock.
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

namespace Quillet::Wire {

// Each To* throws std::invalid_argument naming the value when it has no wire
// number; each From* throws WireFormatError for a wire number it cannot map.
int32_t ToWireCodecId(AVCodecID id);
AVCodecID FromWireCodecId(int32_t wire);

int32_t ToWirePixelFormat(int format);
int FromWirePixelFormat(int32_t wire);

int32_t ToWireSampleFormat(int format);
int FromWireSampleFormat(int32_t wire);

int32_t ToWireMediaType(AVMediaType type);
AVMediaType FromWireMediaType(int32_t wire);

// Codec flags whose bits mean the same thing on both sides of the wire.
uint32_t ToWireCodecFlags(int flags);
int FromWireCodecFlags(uint32_t wire);

} // namespace Quillet::Wire

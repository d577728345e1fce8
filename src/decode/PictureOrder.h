#pragma once
// Whether a video stream's pictures always come in the order they are shown,
// so a live decoder may hand each picture out as soon as it is decoded
// instead of keeping a reorder delay (AV_CODEC_FLAG_LOW_DELAY): MJPEG (every
// picture stands alone), and H.264 whose sequence parameter set names the
// Baseline or Constrained Baseline profile (no B slices) or says in its VUI
// that no picture is reordered (max_num_reorder_frames 0). False whenever it
// is not known; H.265 decoders read the reorder depth from the SPS themselves.
// Pure functions, any thread.
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace Quillet {

// `extradata`: the stream's parameter sets, Annex-B or an avcC record.
bool NeverReordered(AVCodecID codec, const uint8_t* extradata, std::size_t size);

// From one H.264 SPS NAL unit (header byte included, emulation prevention
// bytes still in): the Baseline profiles, or VUI max_num_reorder_frames 0.
bool H264SpsForbidsReorder(const uint8_t* nal, std::size_t size);

} // namespace Quillet

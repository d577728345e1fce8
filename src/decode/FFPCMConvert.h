#pragma once
// Turns decoded sample blocks into interleaved signed 16-bit PCM with at most
// two channels, at the stream's own sample rate. Blocks that already have that
// shape pass through untouched and no resampler is ever created for them.
// Owned by the decoder and used only by its audio reading side (see
// FFDecode.h), on the reading thread; no lock of its own.
#include <cstdint>
#include <memory>

#include "core/FFFrame.h"
#include "events/FFMessageClient.h"

struct SwrContext;

namespace Quillet {

struct SwrContextDeleter {
    void operator()(SwrContext* c) const;
};
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;

class FFPCMConvert : public FFMessageClient {
public:
    FFPCMConvert() = default;
    FFPCMConvert(const FFPCMConvert&) = delete;
    FFPCMConvert& operator=(const FFPCMConvert&) = delete;

    // Returns `&src` when the block needs no conversion, otherwise the
    // internal output block holding the converted samples. The pointer stays
    // valid until the next call. Throws std::runtime_error when the resampler
    // cannot be set up or fails.
    FFFrame* Convert(FFFrame& src);
    // Forgets the resampler so the next block that needs one builds it for
    // the new stream (called whenever a new audio codec opens).
    void Reset();

    bool HasResampler() const { return _swrContext != nullptr; }
    int OutputChannels() const { return _outChannels; }
    int OutputFormat() const { return _outFormat; }

    void _Initialize(const FFFrame& src);

private:
    bool NeedsConversion(const AVFrame* f) const;
    bool InputChanged(const AVFrame* f) const;

    SwrContextPtr _swrContext;
    FFBufferFrame _outFrame;
    int32_t _outFormat = 1; // AV_SAMPLE_FMT_S16
    int32_t _outChannels = 2;
    // What the resampler was built for; another input shape rebuilds it.
    int32_t _inFormat = -1;
    int32_t _inChannels = -1;
    int32_t _inRate = -1;
};

} // namespace Quillet

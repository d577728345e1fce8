// The decoder's side of a seek: taking the marker, the paused band's
// scrubbing cache and what a seek skips on the way to its target. Locking as
// in FFDecode.h.
#include "decode/FFDecode.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace Quillet {

void FFDecode::OnSeekMarker(const std::shared_ptr<FFSeekInfo>& marker)
{
    // A further seek while paused keeps what the band already decoded, unless
    // the traffic node says the new target lies outside it.
    if (_optimizeSeek && _seek && marker->wasPaused) {
        _seek->seekInfo = marker;
        _seek->videoPending = true;
        if (marker->flushQueues) {
            ClearKeepingCodec(_videoQueue);
            ClearKeepingCodec(_audioQueue);
            _seek->InvalidateCache();
        }
        return;
    }
    ClearKeepingCodec(_videoQueue);
    ClearKeepingCodec(_audioQueue);
    _seek = std::make_shared<DecodeSeek>(marker);
}

// A cached picture of the paused band, converted for showing; null when it
// cannot be converted. Called with _lock held.
std::shared_ptr<FFBufferFrame> FFDecode::_ConvertCached(const DecodeSeek::CachedPicture& cached)
{
    av_frame_unref(_scrubFrame.CFrame());
    if (av_frame_ref(_scrubFrame.CFrame(), cached.frame.get()) < 0)
        return nullptr;
    auto out = _colorSpace.Convert(_scrubFrame);
    av_frame_unref(_scrubFrame.CFrame());
    if (!out)
        return nullptr;
    std::lock_guard<std::recursive_mutex> frameGuard(out->lock);
    out->CFrame()->key_frame = cached.frame->key_frame;
    out->SetFrameTime(cached.time);
    out->SetFirstFrame(true);
    return out;
}

// A picture before the target of a running seek is never shown nor cached:
// converting it would only cost time on the way to the target.
bool FFDecode::_DropsBeforeConverting(double t) const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _seek && t < _seek->seekInfo->time && !(_optimizeSeek && _seek->seekInfo->wasPaused);
}

} // namespace Quillet

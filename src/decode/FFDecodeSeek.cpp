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
    _colorSpace.SetPictureBox(_pictureWidth, _pictureHeight);
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

// A paused seek keeps the band's pictures for scrubbing as the codec gave
// them. A picture before the target of any seek is not shown, so it is not
// converted: true when it is dropped.
bool FFDecode::_CacheOrDropBeforeTarget(double t, const AVFrame* picture, std::shared_ptr<FFSeekInfo>& seen)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    seen = _seek ? _seek->seekInfo : nullptr;
    if (!_seek)
        return false;
    if (_optimizeSeek && _seek->seekInfo->wasPaused)
        _seek->CacheFrame(t, picture);
    return t < _seek->seekInfo->time;
}

} // namespace Quillet

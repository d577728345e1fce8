#include "decode/DecodeSeek.h"

namespace Quillet {

void DecodeSeek::CacheFrame(const FFBufferFrame& picture)
{
    if (!seekInfo->wasPaused)
        return;
    const double t = picture.GetFrameTime();
    std::shared_ptr<FFCachedFrame> freeEntry;
    for (const auto& entry : cache) {
        if (entry->IsCached()) {
            if (entry->GetFrameTime() == t)
                return;
        } else if (!freeEntry) {
            freeEntry = entry;
        }
    }
    if (freeEntry)
        freeEntry->Store(picture);
    else
        cache.push_back(std::make_shared<FFCachedFrame>(picture));
}

void DecodeSeek::InvalidateCache()
{
    for (auto& entry : cache)
        entry->Clear();
    keyPackets = 0;
    flushPending = true;
}

std::shared_ptr<FFCachedFrame> DecodeSeek::FindCached(double time) const
{
    for (const auto& entry : cache) {
        if (entry->IsCached() && entry->GetFrameTime() >= time)
            return entry;
    }
    return nullptr;
}

} // namespace Quillet

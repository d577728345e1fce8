#include "facade/Thumbnails.h"

#include <algorithm>

#include "decode/ThumbnailExtractor.h"

namespace Quillet::FFWrapperCLI {

bool ExtractThumbnails(const std::string& source, const ThumbnailRequest& request,
                       const std::function<void(Thumbnail&)>& onThumbnail, std::string* failure)
{
    Quillet::ThumbnailExtractor extractor;
    if (!extractor.Open(source, failure))
        return false;
    if (failure)
        failure->clear();
    Quillet::ThumbnailSpec spec;
    spec.times = request.times.empty() ? extractor.Spread(request.count) : request.times;
    spec.width = std::max(0, request.width);
    spec.height = std::max(0, request.height);
    spec.pixelFormat = request.pixelFormat == PixelFormat::RGB24 ? PixelFormat::RGB24 : PixelFormat::BGR24;
    spec.exact = request.exact;
    spec.workers = request.workers;
    spec.timeout = request.timeout > 0 ? request.timeout : 10.0;
    extractor.Run(spec, [&](Quillet::ThumbnailPicture& p) {
        Thumbnail t;
        t.index = static_cast<int>(p.index);
        t.requested = p.requested;
        t.error = std::move(p.error);
        t.picture.frameTime = p.time;
        t.picture.width = p.width;
        t.picture.height = p.height;
        t.picture.size = static_cast<int32_t>(p.pixels.size());
        t.picture.firstFrame = true;
        t.picture.frame = std::move(p.pixels);
        if (onThumbnail)
            onThumbnail(t);
    });
    return true;
}

std::vector<Thumbnail> ExtractThumbnails(const std::string& source, const ThumbnailRequest& request,
                                         std::string* failure)
{
    std::vector<Thumbnail> all;
    ExtractThumbnails(
        source, request,
        [&all](Thumbnail& t) {
            const auto at = static_cast<size_t>(t.index);
            if (all.size() <= at)
                all.resize(at + 1);
            all[at] = std::move(t);
        },
        failure);
    return all;
}

} // namespace Quillet::FFWrapperCLI

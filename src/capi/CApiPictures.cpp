// The C interface's picture size (quillet.h). Each function runs in
// WithPlayer/Guard (Handles.h): no exception leaves it.
#include "capi/Handles.h"
#include "facade/Thumbnails.h"

using namespace Quillet::CApi;

extern "C" {

int quillet_player_set_picture_size(quillet_player* handle, int width, int height)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(width >= 0 && height >= 0, "a picture side is negative");
        p.Facade().SetPictureSize(width, height);
        return QUILLET_OK;
    });
}

} // extern "C"

// The C interface's thumbnails: the facade's ExtractThumbnails, each picture
// handed to the C callback on the calling thread.
namespace {

int ThumbnailsOf(const char* source, const double* times, int count, int width, int height, int pixelFormat,
                 int exact, quillet_thumbnail_callback callback, void* user)
{
    using namespace Quillet::FFWrapperCLI;
    Require(source && *source, "the source is empty");
    Require(count > 0, "the count is not positive");
    Require(width >= 0 && height >= 0, "a picture side is negative");
    Require(pixelFormat == QUILLET_PIXEL_RGB24 || pixelFormat == QUILLET_PIXEL_BGR24, "unknown pixel format");
    Require(callback != nullptr, "the callback is NULL");
    ThumbnailRequest request;
    if (times)
        request.times.assign(times, times + count);
    request.count = count;
    request.width = width;
    request.height = height;
    request.pixelFormat = pixelFormat;
    request.exact = exact != 0;
    std::string failure;
    const bool opened = ExtractThumbnails(
        source, request,
        [&](Thumbnail& t) {
            quillet_thumbnail out{};
            out.index = t.index;
            out.requested = t.requested;
            out.error = t.error.empty() ? nullptr : t.error.c_str();
            quillet_picture& p = out.picture;
            if (t.error.empty()) {
                p.data = t.picture.frame.data();
                p.width = t.picture.width;
                p.height = t.picture.height;
                p.stride = t.picture.width * 3;
                p.size = t.picture.size;
            }
            p.time = t.picture.frameTime;
            p.first = 1;
            p.pixel_format = pixelFormat;
            callback(user, &out);
        },
        &failure);
    if (!opened)
        return Fail(QUILLET_ERROR_OPEN_FAILED, Text(source) + ": " + failure);
    return QUILLET_OK;
}

} // namespace

extern "C" int quillet_thumbnails(const char* source, const double* times, int count, int width, int height,
                                  int pixel_format, int exact, quillet_thumbnail_callback callback, void* user)
{
    return Guard([&] { return ThumbnailsOf(source, times, count, width, height, pixel_format, exact, callback, user); });
}

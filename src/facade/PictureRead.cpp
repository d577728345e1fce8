#include "facade/PictureRead.h"

#include "engine/FFEngine.h"

namespace Quillet::FFWrapperCLI {

uint8_t* SizeFrameData(FrameData& data, int width, int height, int bytes)
{
    if (data.width != width || data.height != height || data.frame.size() != static_cast<size_t>(bytes)) {
        data.frame = std::vector<uint8_t>(static_cast<size_t>(bytes));
        data.width = width;
        data.height = height;
    }
    return data.frame.data();
}

int ReadPicture(Quillet::FFEngine& engine, FrameData& data, FrameTarget& target, const uint8_t** pixels)
{
    FFCLIFrame picture = engine.ReadVideo(&target);
    data.status = picture.status;
    if (picture.frame && picture.size > 0) {
        data.frameTime = picture.frame->GetFrameTime();
        data.size = picture.frame->GetVideoSize();
        data.firstFrame = picture.frame->GetFirstFrame();
        data.captureTime = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(picture.frame->GetCaptureTime() * 100)));
        data.captureTimeTrusted = picture.frame->GetCaptureTrusted();
        const AVFrame* f = picture.frame->CFrame();
        const uint8_t* at = picture.frame->GetVideoData();
        if (!target.Holds(at)) {
            at = SizeFrameData(data, f->width, f->height, data.size);
            picture.frame->CopyFrame(data.frame.data());
        }
        if (pixels)
            *pixels = at;
    }
    return picture.size;
}

} // namespace Quillet::FFWrapperCLI

// The C++ facade's pictures of a clip, for the C tests to compare with what
// the C interface hands out. Built against the shared library, so it also
// proves the facade's classes are exported. Runs on the calling thread.
#include <quillet/facade/FFWrapper.h>

#include <chrono>
#include <cstdint>
#include <thread>

extern "C" uint64_t picture_hash(const uint8_t* data, int width, int height, int stride);

extern "C" int facade_picture_hashes(const char* clip, uint64_t* hashes, int capacity)
{
    using namespace Quillet::FFWrapperCLI;
    FFWrapper player("capi.reference");
    if (!player.OpenSource(clip))
        return -1;
    player.EnableAudio(false);
    player.DecodeVideo(PixelFormat::BGR24);
    if (!player.StartEngine())
        return -1;
    FrameData picture;
    int count = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int size; (size = player.ReadFrameGetSize(&picture)) >= 0;) {
        if (size > 0 && count < capacity)
            hashes[count++] = picture_hash(picture.frame.data(), picture.width, picture.height, picture.width * 3);
        else if (size == 0 && std::chrono::steady_clock::now() > limit)
            return -1;
        else if (size == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the facade's read never waits
    }
    return count;
}

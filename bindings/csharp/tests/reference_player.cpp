// What the C++ facade hands out for a file, for the C# tests and bench to
// compare with: the same file read through FFWrapper::ReadFrameGetSize.
//   reference_player frames <clip>   one line per picture: time width height size first fnv1a64
//   reference_player rate <clip>     "<pictures> <seconds>" for reading every picture as fast as it comes
#include <quillet/facade/FFWrapper.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace Quillet::FFWrapperCLI;

int main(int argc, char** argv)
{
    const bool frames = argc == 3 && std::strcmp(argv[1], "frames") == 0;
    FFWrapper player("reference");
    player.EnableAudio(false);
    if (argc != 3 || (!frames && std::strcmp(argv[1], "rate") != 0) || !player.OpenSource(argv[2])) {
        std::fprintf(stderr, "usage: reference_player frames|rate <clip it can open>\n");
        return 2;
    }
    player.DecodeVideo(PixelFormat::BGR24);
    FrameData picture;
    const auto start = std::chrono::steady_clock::now();
    player.StartEngine();
    int pictures = 0;
    for (int n; (n = player.ReadFrameGetSize(&picture)) >= 0;) {
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ++pictures;
        uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (int i = 0; frames && i < picture.size; ++i)
            hash = (hash ^ picture.frame[i]) * 1099511628211ull;
        if (frames)
            std::printf("%.6f %d %d %d %d %016" PRIx64 "\n", picture.frameTime, picture.width, picture.height,
                        picture.size, picture.firstFrame ? 1 : 0, hash);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!frames)
        std::printf("%d %.6f\n", pictures, seconds);
    return 0;
}

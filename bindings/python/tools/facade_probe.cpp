// What the C++ player facade makes of a clip, for the Python package's tests
// and bench to compare with:
//   facade_probe frames <clip> <bgr24|rgb24>   one line per picture: "<time> <adler32>"
//                                              (the Adler-32 of its packed rows, as zlib computes it)
//   facade_probe rate <clip> <threads>         pictures per second read to BGR24
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include <quillet/facade/FFWrapper.h>

using namespace Quillet::FFWrapperCLI;

namespace {

uint32_t Adler32(const std::vector<uint8_t>& bytes, size_t size)
{
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < size;) {
        // 5552 bytes at most between reductions keep b below 2^32.
        const size_t end = std::min(size, i + 5552);
        for (; i < end; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
    }
    return (b << 16) | a;
}

int Run(const std::string& mode, const std::string& clip, const std::string& arg)
{
    FFWrapper player("facade_probe");
    player.SetDecodingThreads(mode == "rate" ? std::stoi(arg) : 1);
    player.EnableAudio(false);
    if (!player.OpenSource(clip)) {
        std::fprintf(stderr, "cannot open %s: %s\n", clip.c_str(), player.GetOpenFailureReason().c_str());
        return 1;
    }
    player.DecodeVideo(mode == "frames" && arg == "rgb24" ? PixelFormat::RGB24 : PixelFormat::BGR24);
    FrameData frame;
    const auto start = std::chrono::steady_clock::now();
    player.StartEngine();
    int pictures = 0;
    for (int n; (n = player.ReadFrameGetSize(&frame)) >= 0;) {
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ++pictures;
        if (mode == "frames")
            std::printf("%.6f %u\n", frame.frameTime, Adler32(frame.frame, static_cast<size_t>(frame.size)));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (mode == "rate")
        std::printf("%.3f %d\n", pictures / seconds, pictures);
    player.CloseSource();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::string(argv[1]) != "frames" && std::string(argv[1]) != "rate")) {
        std::fprintf(stderr, "usage: facade_probe frames <clip> <bgr24|rgb24> | rate <clip> <threads>\n");
        return 2;
    }
    return Run(argv[1], argv[2], argv[3]);
}

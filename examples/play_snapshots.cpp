// Plays a file, URL or rtsp:// camera and saves every Nth picture as a PNG file.
//   play_snapshots <source> [N=25] [max pictures=0 (no limit)]
#include <quillet/facade/FFWrapper.h>
#include <quillet/facade/Version.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "png_writer.h"

using namespace Quillet::FFWrapperCLI;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: play_snapshots <file | URL | rtsp://camera> [N] [max pictures]\n";
        return 2;
    }
    const std::string source = argv[1];
    const int every = argc > 2 ? std::max(1, std::stoi(argv[2])) : 25;
    const int maxPictures = argc > 3 ? std::stoi(argv[3]) : 0;
    std::cout << DescribeBuild();

    FFWrapper player("play_snapshots");
    // Events arrive on library threads: only note them here, act on this thread.
    std::atomic<bool> failed{false};
    player.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            failed = failed || m->message == FFMessageType::SourceError || m->message == FFMessageType::RTSPSourceError;
    }));
    if (!player.OpenSource(source)) {
        std::cerr << "cannot open " << source << "\n";
        return 1;
    }
    std::cout << "playing " << source << ": " << player.Width() << "x" << player.Height() << ", "
              << player.GetDuration() << " s\n";
    player.EnableAudio(false);
    player.DecodeVideo(PixelFormat::RGB24);
    if (!player.StartEngine())
        return 1;

    FrameData picture;
    int pictures = 0, saved = 0;
    auto lastPicture = std::chrono::steady_clock::now();
    while (maxPictures == 0 || pictures < maxPictures) {
        const int size = player.ReadFrameGetSize(&picture);
        if (size < 0)
            break; // end of stream
        if (size == 0) { // nothing decoded yet: wait a little, unless the source is gone
            if (failed || std::chrono::steady_clock::now() - lastPicture > std::chrono::seconds(20))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        lastPicture = std::chrono::steady_clock::now();
        if (pictures++ % every != 0)
            continue;
        char name[64];
        std::snprintf(name, sizeof name, "picture_%05d.png", pictures - 1);
        if (!example::WritePng(name, picture.frame.data(), picture.width, picture.height)) {
            std::cerr << "cannot write " << name << "\n";
            return 1;
        }
        ++saved;
        std::cout << name << " at " << picture.frameTime << " s\n";
    }
    player.StopEngine();
    player.CloseSource();
    std::cout << pictures << " pictures played, " << saved << " saved\n";
    return saved > 0 && !failed ? 0 : 1;
}

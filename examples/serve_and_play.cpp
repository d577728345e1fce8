// Serves a file to a client queue and plays it back through the remote player:
// what a server process and a viewer process do, with the network left out.
// Each batch from GetNextPacket would travel over your own transport.
//   serve_and_play <file>
#include <quillet/facade/FFServingWrappers.h>

#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: serve_and_play <file>\n";
        return 2;
    }
    // The serving side: opens the source with its first client and reads at playback pace.
    FFPlayServerWrapper server("serve_and_play.server");
    server.SetSource(argv[1]);
    FFOutgoingHandle client = server.AddClient();
    if (!client || !server.StartEngine()) {
        std::cerr << "cannot serve " << argv[1] << "\n";
        return 1;
    }

    // The viewing side: no source to open, it plays the batches it is given.
    FFRemoteWrapper viewer("serve_and_play.viewer");
    viewer.EnableAudio(false);
    viewer.DecodeVideo(PixelFormat::BGR24);

    FrameData picture;
    std::vector<uint8_t> batch;
    size_t batches = 0, bytes = 0;
    int pictures = 0;
    auto progress = steady_clock::now();
    for (;;) {
        if (batch.empty() && !(batch = client->GetNextPacket()).empty()) {
            ++batches;
            bytes += batch.size();
            progress = steady_clock::now();
        }
        // A busy viewer takes part of a batch and refuses the rest: offer it again later.
        if (!batch.empty() && viewer.WritePacket(batch))
            batch.clear();
        const int size = viewer.ReadFrameGetSize(&picture);
        if (size < 0)
            break; // end of stream reached the viewer
        if (size > 0) {
            if (++pictures == 1)
                std::cout << "first picture " << picture.width << "x" << picture.height << "\n";
            progress = steady_clock::now();
        } else if (steady_clock::now() - progress > seconds(20)) {
            std::cerr << "stalled\n";
            return 1;
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    server.RemoveClient(client);
    std::cout << "served " << batches << " batches (" << bytes << " bytes), viewer played " << pictures
              << " pictures up to " << picture.frameTime << " s\n";
    return pictures > 0 ? 0 : 1;
}

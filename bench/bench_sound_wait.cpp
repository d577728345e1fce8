// How long the host's audio thread waits in ReadAudioFromInterface while the
// application's thread reads 4K pictures through the same player facade: the
// longest wait and the 99th percentile, beside the time one 4K picture read
// takes (decode and conversion). A sound read that waits behind a picture
// decode shows a longest wait near one picture read (ratio near 1); one that
// proceeds alongside it, a small fraction.
//
//   bench_sound_wait [clip]     (default: 4 s of 3840x2160 H.264 with AAC)
#include <algorithm>
#include <atomic>
#include <iomanip>
#include <iostream>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "facade/FFWrapper.h"

using namespace Quillet;
using Bench::Clock;
using Bench::Seconds;

namespace {

// A host that always wants sound, offering four 20 ms blocks per read.
class Host : public AudioInterface {
public:
    bool WantsAudio() override { return true; }
    AudioBufferList GetBuffers() override
    {
        AudioBufferList list;
        for (int i = 0; i < 4; ++i)
            list.push_back(std::make_shared<std::vector<uint8_t>>(48000 / 50 * 4));
        return list;
    }
    void SubmitBuffers(AudioBufferList) override {}
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    const std::string clip =
        Bench::ClipFromArgs(argc, argv, "sound_wait_4k.mp4",
                            "-f lavfi -i testsrc2=size=3840x2160:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                            "-t 4 -c:v libx264 -preset ultrafast -g 25 -c:a aac -pix_fmt yuv420p");
    FFWrapperCLI::FFWrapper player("bench");
    Host host;
    if (!player.OpenSource(clip)) {
        std::cerr << "cannot open " << clip << "\n";
        return 1;
    }
    player.DecodeVideo(FFWrapperCLI::PixelFormat::BGR24);
    player.EnableAudio(true);
    player.SetAudioInterface(&host);
    player.StartEngine();

    std::atomic<bool> done{false};
    std::vector<double> pictureReads, soundWaits;
    std::thread audio([&] {
        while (!done) {
            const auto before = Clock::now();
            player.ReadAudioFromInterface();
            soundWaits.push_back(Seconds(Clock::now() - before));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    FFWrapperCLI::FrameData picture;
    for (;;) {
        const auto before = Clock::now();
        const int size = player.ReadFrameGetSize(&picture);
        if (size > 0)
            pictureReads.push_back(Seconds(Clock::now() - before));
        if (size < 0)
            break;
        if (size == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    audio.join();
    player.Dispose();

    const double picture50 = Percentile(pictureReads, 0.5);
    const double longest = soundWaits.empty() ? 0.0 : *std::max_element(soundWaits.begin(), soundWaits.end());
    std::cout << std::fixed << std::setprecision(2) << "4K pictures read: " << pictureReads.size()
              << ", median picture read " << picture50 * 1e3 << " ms\n"
              << "sound reads: " << soundWaits.size() << ", longest " << longest * 1e3 << " ms, 99th percentile "
              << Percentile(soundWaits, 0.99) * 1e3 << " ms, median " << Percentile(soundWaits, 0.5) * 1e3 << " ms\n"
              << "longest sound read / median picture read: " << std::setprecision(3)
              << (picture50 > 0 ? longest / picture50 : 0.0) << "\n";
    return 0;
}

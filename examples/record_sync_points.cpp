// Records a camera (or any source) to container files, starting a new file every
// S seconds of media, and prints each sync point: a position in a recorded file
// paired with the PC's UTC clock.
//   record_sync_points <rtsp://camera | file> <out.mp4> [S=2] [stop after seconds=0 (at the end)]
#include <quillet/facade/FFFileWrapper.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono;

std::string PartName(const std::string& file, int part) // out.mp4 -> out_2.mp4
{
    const auto dot = file.rfind('.');
    return dot == std::string::npos ? file + "_" + std::to_string(part)
                                    : file.substr(0, dot) + "_" + std::to_string(part) + file.substr(dot);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: record_sync_points <source> <out.mp4> [split seconds] [stop after seconds]\n";
        return 2;
    }
    const double splitEvery = argc > 3 ? std::stod(argv[3]) : 2.0;
    const double stopAfter = argc > 4 ? std::stod(argv[4]) : 0.0;

    FFFileWrapper recorder("record_sync_points");
    std::mutex printing;
    std::set<std::string> files; // the files sync points named, guarded by `printing`
    int syncPoints = 0;
    std::atomic<bool> failed{false};
    // Sync points and file errors arrive on the recording's write thread.
    recorder.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e)) {
            const std::time_t utc = system_clock::to_time_t(s->PCTimeUTC);
            char when[32];
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::gmtime(&utc));
            std::lock_guard<std::mutex> guard(printing);
            std::cout << "sync point: " << s->fileName << " at " << s->videoTime.count() << " s = " << when
                      << " UTC" << (s->isGood ? "" : " (estimated)") << "\n";
            ++syncPoints;
            files.insert(s->fileName);
        } else if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e)) {
            failed = failed || (m->message != FFMessageType::EndOfStream && m->message != FFMessageType::NoError);
        }
    }));
    if (!recorder.OpenSource(argv[1])) {
        std::cerr << "cannot open " << argv[1] << "\n";
        return 1;
    }
    // Recording follows playback: decode pictures (and drop them) to keep the media moving.
    recorder.EnableAudio(false);
    recorder.DecodeVideo(PixelFormat::RGB24);
    recorder.SaveToVideoFile(argv[2]);
    if (!recorder.StartEngine())
        return 1;

    FrameData picture;
    int part = 1;
    auto lastPicture = steady_clock::now();
    while (!failed && steady_clock::now() - lastPicture < seconds(20)) {
        const int size = recorder.ReadFrameGetSize(&picture);
        if (size < 0 || (stopAfter > 0 && picture.frameTime >= stopAfter))
            break;
        if (size == 0) {
            std::this_thread::sleep_for(milliseconds(2));
            continue;
        }
        lastPicture = steady_clock::now();
        if (picture.frameTime >= part * splitEvery) // the new file starts at the next key picture
            recorder.SplitFile(PartName(argv[2], ++part));
    }
    recorder.StopVideoSave();
    bool pending = false;
    for (auto until = steady_clock::now() + seconds(10); recorder.IsVideoSave(pending) || pending;) {
        if (steady_clock::now() > until)
            break;
        std::this_thread::sleep_for(milliseconds(10));
    }
    recorder.CloseSource();
    std::lock_guard<std::mutex> guard(printing);
    std::cout << files.size() << " files, " << syncPoints << " sync points\n";
    return syncPoints > 0 && !failed ? 0 : 1;
}

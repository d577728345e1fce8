// Records a camera (or any source) to container files, a new file every S seconds of media, and
// prints each sync point: a position in a recorded file paired with the PC's UTC clock.
//   record_sync_points <rtsp://camera | file> <out.mp4> [S=2] [stop after seconds=0 (at the end)]
#include <quillet/facade/FFFileWrapper.h>

#include <algorithm>
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

std::string PartName(std::string file, int part) // out.mp4 -> out_2.mp4
{
    return file.insert(std::min(file.rfind('.'), file.size()), "_" + std::to_string(part));
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
    double firstTime = -1.0;
    auto start = steady_clock::now(), lastPicture = start;
    while (!failed && steady_clock::now() - lastPicture < seconds(20)) {
        const int size = recorder.ReadFrameGetSize(&picture);
        if (size < 0)
            break;
        if (size == 0) {
            std::this_thread::sleep_for(milliseconds(2));
            continue;
        }
        lastPicture = steady_clock::now();
        if (firstTime < 0)
            firstTime = picture.frameTime, start = lastPicture;
        const double media = picture.frameTime - firstTime;
        if (stopAfter > 0 && media >= stopAfter)
            break;
        // Keep to the media's pace as a viewer would (a camera delivers at that pace anyway).
        const auto due = start + duration_cast<steady_clock::duration>(duration<double>(media));
        std::this_thread::sleep_until(std::min(due, lastPicture + milliseconds(100)));
        // A split takes effect at the recording's next key picture; ask for the next one only after.
        bool pending = false;
        if (media >= part * splitEvery && recorder.IsVideoSave(pending) && !pending)
            recorder.SplitFile(PartName(argv[2], ++part));
    }
    recorder.StopVideoSave(); // the file is finished on the write thread: wait until it is closed
    bool pending = false;
    const auto until = steady_clock::now() + seconds(10);
    while ((recorder.IsVideoSave(pending) || pending) && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(10));
    recorder.CloseSource();
    std::lock_guard<std::mutex> guard(printing);
    std::cout << files.size() << " files, " << syncPoints << " sync points\n";
    return syncPoints > 0 && !failed ? 0 : 1;
}

#include "RecordCommand.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "facade/FFFileWrapper.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Quillet::Tools {
namespace {

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int)
{
    interrupted = true;
}

std::string FormatUtc(std::chrono::system_clock::time_point t)
{
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(since / 1000);
    std::tm utc{};
    char text[64] = "invalid";
    if (gmtime_r(&seconds, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(since % 1000));
    return std::string(text) + millis;
}

// Collects what the facade reports: sync points (to the CSV file) and
// messages (to the terminal, and whether the recording failed).
class RecordEvents {
public:
    explicit RecordEvents(const std::string& csv)
    {
        if (csv.empty())
            return;
        _csv.open(csv);
        if (!_csv)
            throw std::runtime_error("cannot write " + csv);
        _csv << "file,video_time_s,pc_time_utc,is_good\n";
    }

    void operator()(const EventArgs& e)
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e)) {
            ++_points;
            if (_csv.is_open())
                _csv << '"' << s->fileName << "\"," << s->videoTime.count() << ',' << FormatUtc(s->PCTimeUTC) << ','
                     << (s->isGood ? 1 : 0) << '\n';
        } else if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e)) {
            if (m->message == FFMessageType::FileSinkError)
                _fileError = true;
            if (m->message == FFMessageType::EndOfStream || m->message == FFMessageType::SourceError ||
                m->message == FFMessageType::RTSPSourceError)
                _ended = true;
            if (m->message != FFMessageType::EndOfStream)
                std::cout << "\nevent: message " << static_cast<int>(m->message) << "\n";
        }
    }

    int Points()
    {
        std::lock_guard<std::mutex> guard(_lock);
        return _points;
    }
    bool FileError() const { return _fileError; }
    bool Ended() const { return _ended; }

private:
    std::mutex _lock;
    std::ofstream _csv;
    int _points = 0;
    std::atomic<bool> _fileError{false};
    std::atomic<bool> _ended{false};
};

bool WaitUntilClosed(FFFileWrapper& recorder, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        bool pending = false;
        if (!recorder.IsVideoSave(pending) && !pending)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

} // namespace

std::optional<RecordOptions> ParseRecordOptions(const std::vector<std::string>& args)
{
    RecordOptions o;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--split-after" || a == "--sync-points") {
            if (i + 1 >= args.size())
                return std::nullopt;
            const std::string& v = args[++i];
            if (a == "--sync-points") {
                o.syncPoints = v;
                continue;
            }
            try {
                size_t used = 0;
                o.splitAfter = std::stod(v, &used);
                if (used != v.size() || !(*o.splitAfter > 0.0))
                    return std::nullopt;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        } else if (a.rfind("--", 0) == 0) {
            return std::nullopt;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2)
        return std::nullopt;
    o.source = positional[0];
    o.file = positional[1];
    return o;
}

std::string PartFileName(const std::string& file, int n)
{
    const auto slash = file.find_last_of('/');
    const auto dot = file.find_last_of('.');
    const std::string suffix = "_part" + std::to_string(n);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return file + suffix;
    return file.substr(0, dot) + suffix + file.substr(dot);
}

int Record(const RecordOptions& o)
{
    RecordEvents events(o.syncPoints);
    FFFileWrapper recorder("ffwrap");
    recorder.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) { events(e); }));
    if (!recorder.OpenSource(o.source)) {
        std::cerr << "Cannot open " << o.source << " (see FFLogger.log)\n";
        return 1;
    }
    // Pictures are decoded only to follow the media time for splitting and
    // progress; reading them as fast as they come keeps the recording going.
    recorder.EnableAudio(false);
    recorder.DecodeVideo(AV_PIX_FMT_RGB24);
    recorder.SaveToVideoFile(o.file);
    if (!recorder.StartEngine()) {
        std::cerr << "Cannot start reading " << o.source << "\n";
        return 1;
    }
    interrupted = false;
    auto previous = std::signal(SIGINT, OnInterrupt);

    std::string current = o.file;
    int part = 1;
    double nextSplit = o.splitAfter ? *o.splitAfter : 0.0;
    int pictures = 0;
    double mediaTime = 0.0;
    FrameData frame;
    auto lastProgress = std::chrono::steady_clock::now() - 1s;
    auto idleSince = std::chrono::steady_clock::now();
    const auto progress = [&] {
        bool pending = false;
        const bool saving = recorder.IsVideoSave(pending);
        std::cout << "\rrecording " << current << ": " << mediaTime << " s, " << pictures << " pictures, "
                  << events.Points() << " sync points" << (saving ? "" : pending ? " (waiting)" : " (file closed)")
                  << "      " << std::flush;
    };
    while (!interrupted) {
        const int size = recorder.ReadFrameGetSize(&frame);
        if (size < 0)
            break;
        if (size == 0) {
            if (events.Ended() || std::chrono::steady_clock::now() - idleSince > 20s)
                break;
            std::this_thread::sleep_for(1ms);
            continue;
        }
        idleSince = std::chrono::steady_clock::now();
        ++pictures;
        mediaTime = frame.frameTime;
        if (o.splitAfter && mediaTime >= nextSplit && !events.FileError()) {
            current = PartFileName(o.file, ++part);
            recorder.SplitFile(current);
            nextSplit += *o.splitAfter;
        }
        if (std::chrono::steady_clock::now() - lastProgress >= 200ms) {
            progress();
            lastProgress = std::chrono::steady_clock::now();
        }
    }
    std::signal(SIGINT, previous);
    // At the end of stream the engine closes the file itself; otherwise stop.
    if (interrupted || !WaitUntilClosed(recorder, 30s))
        recorder.StopVideoSave();
    progress();
    std::cout << "\n";
    recorder.StopEngine();
    recorder.CloseSource();
    recorder.Dispose();
    if (events.FileError()) {
        std::cerr << "Played " << pictures << " pictures; the recording stopped after a file error (see FFLogger.log)\n";
        return 1;
    }
    std::cout << "Recorded " << pictures << " pictures into " << part << (part == 1 ? " file" : " files") << " from "
              << o.file;
    if (!o.syncPoints.empty())
        std::cout << "; " << events.Points() << " sync points written to " << o.syncPoints;
    std::cout << "\n";
    return 0;
}

} // namespace Quillet::Tools

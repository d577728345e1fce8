#include "RecordCommand.h"

#include <cmath>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "CameraPlayer.h"
#include "core/UrlForLog.h"
#include "engine/FFFileEngine.h"
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
// The facade's reporting thread calls operator(); the command's loop asks the
// rest. `_lock` guards the CSV file, `_points`, `_files` and `_current`.
class RecordEvents {
public:
    explicit RecordEvents(const std::string& csv)
    {
        if (csv.empty())
            return;
        _csv.open(csv);
        if (!_csv)
            throw std::runtime_error("cannot write " + csv);
        _csv << "file,video_time_s,pc_time_utc,is_good" << std::endl;
    }

    void operator()(const EventArgs& e)
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e)) {
            ++_points;
            _files.insert(s->fileName);
            _current = s->fileName;
            // Flushed per line: a crash keeps every point written so far.
            if (_csv.is_open())
                _csv << '"' << s->fileName << "\"," << s->videoTime.count() << ',' << FormatUtc(s->PCTimeUTC) << ','
                     << (s->isGood ? 1 : 0) << std::endl;
        } else if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e)) {
            if (m->message == FFMessageType::FileSinkError)
                _fileError = _anyFileError = true;
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
    // The file the newest sync point belongs to: the one being written once
    // segments or a lost connection have started follow-on files.
    std::string CurrentFile(const std::string& first)
    {
        std::lock_guard<std::mutex> guard(_lock);
        return _current.empty() ? first : _current;
    }
    bool TakeFileError() { return _fileError.exchange(false); }
    bool HadFileError() const { return _anyFileError; }
    void AddFile(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(_lock);
        _files.insert(name);
    }
    // Files of the recording still on disk (retention may have deleted some).
    int ExistingFiles()
    {
        std::lock_guard<std::mutex> guard(_lock);
        int n = 0;
        for (const auto& f : _files)
            n += std::filesystem::exists(f) ? 1 : 0;
        return n;
    }
    bool Ended() const { return _ended; }

private:
    std::mutex _lock;
    std::ofstream _csv;
    int _points = 0;
    std::set<std::string> _files;
    std::string _current;
    std::atomic<bool> _fileError{false};
    std::atomic<bool> _anyFileError{false};
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
    auto& r = o.recording;
    std::vector<std::string> positional;
    const auto number = [](const std::string& v, double& out) {
        try {
            size_t used = 0;
            out = std::stod(v, &used);
            return used == v.size() && std::isfinite(out) && out >= 0.0;
        } catch (const std::exception&) {
            return false;
        }
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--retry" || a == "--classic-mp4") {
            (a == "--retry" ? o.retry : r.layout.classicMp4) = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            positional.push_back(a);
            continue;
        }
        if (i + 1 >= args.size())
            return std::nullopt;
        const std::string& v = args[++i];
        double x = 0.0;
        if (a == "--threads") {
            if (!(o.threads = ParseThreads(v)))
                return std::nullopt;
        } else if (a == "--sync-points")
            o.syncPoints = v;
        else if (a == "--name-pattern")
            r.namePattern = v;
        else if (!number(v, x))
            return std::nullopt;
        else if (a == "--segment" || a == "--split-after")
            r.segmentSeconds = x;
        else if (a == "--keep-bytes")
            r.keepBytes = static_cast<int64_t>(x);
        else if (a == "--keep-hours")
            r.keepSeconds = x * 3600.0;
        else if (a == "--min-free")
            r.minFreeBytes = static_cast<int64_t>(x);
        else if (a == "--sync-every")
            r.layout.syncSeconds = x;
        else
            return std::nullopt;
    }
    if (positional.size() != 2)
        return std::nullopt;
    o.source = positional[0];
    o.file = positional[1];
    return o;
}

int Record(const RecordOptions& o)
{
    RecordEvents events(o.syncPoints);
    auto* engine = new FFFileEngine("ffwrap"); // owned by the facade
    engine->SetRecordingOptions(o.recording);
    FFFileWrapper recorder(engine);
    recorder.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) { events(e); }));
    UseDecodingThreads(recorder, o.source, o.threads);
    if (!recorder.OpenSource(o.source)) {
        std::cerr << "Cannot open " << UrlForLog(o.source) << ": " << recorder.GetOpenFailureReason() << "\n";
        return 1;
    }
    // Pictures are decoded only to show progress; reading them as fast as
    // they come keeps the recording going.
    recorder.EnableAudio(false);
    recorder.DecodeVideo(AV_PIX_FMT_RGB24);
    recorder.SaveToVideoFile(o.file);
    events.AddFile(o.file);
    if (!recorder.StartEngine()) {
        std::cerr << "Cannot start reading " << UrlForLog(o.source) << "\n";
        return 1;
    }
    interrupted = false;
    auto previousInt = std::signal(SIGINT, OnInterrupt);
    auto previousTerm = std::signal(SIGTERM, OnInterrupt);
    // Past a file-size limit a write fails (and the file is finished) rather
    // than the process being killed.
    std::signal(SIGXFSZ, SIG_IGN);

    int pictures = 0, retries = 0;
    bool failed = false;
    double mediaTime = 0.0;
    FrameData frame;
    auto lastProgress = std::chrono::steady_clock::now() - 1s;
    auto idleSince = std::chrono::steady_clock::now();
    auto failedAt = std::chrono::steady_clock::now();
    const auto progress = [&] {
        bool pending = false;
        const bool saving = recorder.IsVideoSave(pending);
        std::cout << "\rrecording " << events.CurrentFile(o.file) << ": " << mediaTime << " s, " << pictures << " pictures, "
                  << events.Points() << " sync points" << (saving ? "" : pending ? " (waiting)" : " (file closed)")
                  << "      " << std::flush;
    };
    while (!interrupted) {
        if (events.TakeFileError()) {
            failed = true;
            failedAt = std::chrono::steady_clock::now();
            if (!o.retry)
                break;
        }
        if (failed && o.retry && std::chrono::steady_clock::now() - failedAt > 5s) {
            const std::string next = FileNaming::WithMarker(o.file, "_retry" + std::to_string(++retries));
            std::cout << "\nretrying into " << next << "\n";
            recorder.SaveToVideoFile(next);
            events.AddFile(next);
            failed = false;
        }
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
        if (std::chrono::steady_clock::now() - lastProgress >= 200ms) {
            progress();
            lastProgress = std::chrono::steady_clock::now();
        }
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    // At the end of stream the engine closes the file itself; otherwise stop.
    if (interrupted || failed || !WaitUntilClosed(recorder, 30s))
        recorder.StopVideoSave();
    progress();
    std::cout << "\n";
    recorder.StopEngine();
    recorder.CloseSource();
    recorder.Dispose();
    const int files = events.ExistingFiles();
    std::cout << "Recorded " << pictures << " pictures into " << files << (files == 1 ? " file" : " files")
              << " from " << o.file;
    if (!o.syncPoints.empty())
        std::cout << "; " << events.Points() << " sync points written to " << o.syncPoints;
    std::cout << "\n";
    if (failed || events.HadFileError()) {
        std::cerr << "The recording stopped after a file error (--verbose shows the library's log)\n";
        return 1;
    }
    return 0;
}

} // namespace Quillet::Tools

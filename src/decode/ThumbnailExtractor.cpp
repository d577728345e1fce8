#include "decode/ThumbnailExtractor.h"

#include <algorithm>
#include <atomic>
#include <numeric>
#include <thread>

#include "decode/ThumbnailWorker.h"
#include "source/OpenFailure.h"

namespace Quillet {

namespace {

// Times closer together than this (in order) form one run, decoded by one
// worker in one pass.
constexpr double kRunSpan = 2.0;

} // namespace

bool ThumbnailExtractor::Open(const std::string& source, std::string* failure)
{
    _source = source;
    ThumbnailInput::Deadline deadline;
    deadline.until = ThumbnailInput::Clock::now() + std::chrono::seconds(30);
    int error = 0;
    AVInputContextPtr input = ThumbnailInput::Open(source, deadline, &error, false);
    int video = input ? av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    // A header that describes the video gives its start and duration too;
    // otherwise the streams are probed for them.
    if (input && video >= 0 && input->streams[video]->start_time == AV_NOPTS_VALUE) {
        error = avformat_find_stream_info(input.get(), nullptr);
        if (error < 0)
            input.reset();
        else
            video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    if (!input) {
        if (failure)
            *failure = OpenFailureText(OpenFailureFromError(error));
        return false;
    }
    if (video < 0) {
        if (failure)
            *failure = "no video";
        return false;
    }
    const AVStream* stream = input->streams[video];
    const double unit = av_q2d(stream->time_base);
    _start = stream->start_time != AV_NOPTS_VALUE ? static_cast<double>(stream->start_time) * unit : 0.0;
    _duration = 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        _duration = static_cast<double>(stream->duration) * unit;
    else if (input->duration > 0)
        _duration = static_cast<double>(input->duration) / AV_TIME_BASE;
    return true;
}

std::vector<double> ThumbnailExtractor::Spread(int count) const
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i)
        times.push_back(_start + _duration * i / count);
    return times;
}

void ThumbnailExtractor::Finished(ThumbnailPicture picture)
{
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _results.push_back(std::move(picture));
    }
    _ready.notify_one();
}

void ThumbnailExtractor::Run(const ThumbnailSpec& spec, const std::function<void(ThumbnailPicture&)>& deliver)
{
    const size_t n = spec.times.size();
    if (n == 0)
        return;
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return spec.times[a] < spec.times[b]; });
    std::vector<std::vector<size_t>> runs;
    for (size_t index : order) {
        if (runs.empty() || spec.times[index] - spec.times[runs.back().back()] > kRunSpan)
            runs.emplace_back();
        runs.back().push_back(index);
    }
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int workers = static_cast<int>(std::min(runs.size(), static_cast<size_t>(spec.workers > 0 ? spec.workers : cores)));
    const int decoderThreads = workers >= cores ? 1 : cores / workers;

    std::atomic<bool> cancelled{false};
    std::atomic<size_t> taken{0};
    const auto next = [&runs, &taken]() -> std::vector<size_t> {
        const size_t at = taken.fetch_add(1);
        return at < runs.size() ? runs[at] : std::vector<size_t>{};
    };
    const auto finished = [this](ThumbnailPicture picture) { Finished(std::move(picture)); };
    std::vector<std::unique_ptr<ThumbnailWorker>> crew;
    for (int w = 0; w < workers; ++w)
        crew.push_back(std::make_unique<ThumbnailWorker>(_source, spec, decoderThreads, cancelled));
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _results.clear();
        _running = workers;
    }
    std::vector<std::thread> threads;
    // Joins every worker on the way out, also when `deliver` throws: the
    // workers are told to give up first.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::atomic<bool>& cancelled;
        ~Joiner()
        {
            for (auto& t : threads)
                if (t.joinable())
                    t.join();
        }
    } joiner{threads, cancelled};
    try {
        for (auto& member : crew) {
            ThumbnailWorker* worker = member.get();
            threads.emplace_back([this, worker, &next, &finished] {
                worker->Run(next, finished);
                std::lock_guard<std::mutex> guard(_mutex);
                --_running;
                _ready.notify_one();
            });
        }
    } catch (...) {
        cancelled = true;
        throw;
    }
    size_t handed = 0;
    while (handed < n) {
        std::unique_lock<std::mutex> lock(_mutex);
        _ready.wait(lock, [this] { return !_results.empty() || _running == 0; });
        if (_results.empty())
            break;
        ThumbnailPicture picture = std::move(_results.front());
        _results.pop_front();
        lock.unlock();
        ++handed;
        try {
            deliver(picture);
        } catch (...) {
            cancelled = true;
            throw;
        }
    }
}

} // namespace Quillet

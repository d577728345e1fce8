#include "image/BandedConversion.h"

#include <algorithm>
#include <exception>

namespace Quillet::Image {

BandedConversion::BandedConversion(int helpers) : _helpers(std::max(0, helpers)) {}

BandedConversion::~BandedConversion()
{
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _stopping = true;
    }
    _jobReady.notify_all();
    for (auto& thread : _threads)
        thread.join();
}

std::pair<int, int> BandedConversion::BandRows(int height, int bands, int band)
{
    // Bands of an even number of rows: a band never starts between the two
    // luma rows that share one chroma row.
    const int step = ((height + bands - 1) / bands + 1) & ~1;
    const int first = std::min(height, band * step);
    const int end = band == bands - 1 ? height : std::min(height, first + step);
    return {first, end - first};
}

void BandedConversion::StartHelpers()
{
    _started = true;
    try {
        _threads.reserve(static_cast<size_t>(_helpers));
        for (int band = 1; band <= _helpers; ++band)
            _threads.emplace_back([this, band] { HelperLoop(band); });
    } catch (const std::exception&) {
        // Out of threads: the ones started share the bands, or the caller
        // converts alone.
    }
}

void BandedConversion::ConvertBand(const Job& job, int band) const
{
    const auto [first, rows] = BandRows(job.height, job.bands, band);
    if (rows > 0)
        job.call(job.convertRows, first, rows);
}

void BandedConversion::RunBands(int height, const void* convertRows, RowsCall call)
{
    if (!_started && _helpers > 0)
        StartHelpers();
    const int helpers = static_cast<int>(_threads.size());
    if (helpers == 0 || height < 2 * (helpers + 1)) {
        call(convertRows, 0, height);
        return;
    }
    Job job{convertRows, call, height, helpers + 1};
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _job = job;
        _bandsLeft = helpers;
        ++_generation;
    }
    _jobReady.notify_all();
    ConvertBand(job, 0);
    // The helpers wait for nothing but this job, so every band finishes.
    std::unique_lock<std::mutex> lock(_mutex);
    _jobDone.wait(lock, [this] { return _bandsLeft == 0; });
}

void BandedConversion::HelperLoop(int band)
{
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _jobReady.wait(lock, [&] { return _stopping || _generation != seen; });
        if (_stopping)
            return;
        seen = _generation;
        const Job job = _job;
        lock.unlock();
        ConvertBand(job, band);
        lock.lock();
        if (--_bandsLeft == 0)
            _jobDone.notify_one();
    }
}

} // namespace Quillet::Image

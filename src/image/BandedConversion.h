#pragma once
// Converts one picture in horizontal bands on several threads at once: the
// calling thread converts the first band, helper threads the others, and Run
// returns once every band is written. With the decoder spreading its work
// over every core, the conversion on the reading thread is the one part of
// the picture path left on a single core; splitting it keeps that thread from
// becoming the bottleneck on machines with many cores.
//
// Every band starts on an even row, so the chroma row that two luma rows of a
// 4:2:0 picture share is read by one band alone, and the bytes come out
// exactly as from one pass over the whole picture.
//
// Threads: Run is called by one thread at a time (the decoder's reading
// thread). The helpers are this object's own: started by the first Run that
// splits a picture (as many as the system gives; with none, pictures go in one
// pass), and stopped by the destructor, whose stop ends their wait at once.
// `_threads` and `_started` belong to the calling thread. All the following
// fields are protected by `_mutex`: `_job`, `_generation`, `_bandsLeft` and
// `_stopping`.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace Quillet::Image {

class BandedConversion {
public:
    // `helpers` threads besides the caller's own; 0 converts in one pass.
    explicit BandedConversion(int helpers);
    ~BandedConversion();
    BandedConversion(const BandedConversion&) = delete;
    BandedConversion& operator=(const BandedConversion&) = delete;

    // Converts all `height` rows, calling `convertRows(firstRow, rows)` once
    // per band, and returns once every band is done. The callable is borrowed,
    // not copied: nothing is allocated per picture.
    template <typename ConvertRows>
    void Run(int height, const ConvertRows& convertRows)
    {
        RunBands(height, &convertRows, [](const void* f, int firstRow, int rows) {
            (*static_cast<const ConvertRows*>(f))(firstRow, rows);
        });
    }

    // Helpers asked for; fewer run when the system gives no more threads.
    int Helpers() const { return _helpers; }

private:
    using RowsCall = void (*)(const void* convertRows, int firstRow, int rows);
    struct Job {
        const void* convertRows = nullptr;
        RowsCall call = nullptr;
        int height = 0;
        int bands = 1;
    };

    // The rows of band `band` out of `bands` (even start, the last band takes
    // the rest); an empty range when the picture is too short for it.
    static std::pair<int, int> BandRows(int height, int bands, int band);
    void RunBands(int height, const void* convertRows, RowsCall call);

    void StartHelpers();
    void HelperLoop(int band);
    void ConvertBand(const Job& job, int band) const;

    const int _helpers;
    std::vector<std::thread> _threads;
    bool _started = false;

    std::mutex _mutex;
    std::condition_variable _jobReady;
    std::condition_variable _jobDone;
    Job _job;
    uint64_t _generation = 0;
    int _bandsLeft = 0;
    bool _stopping = false;
};

} // namespace Quillet::Image

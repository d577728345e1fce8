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
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Quillet::Image {

class BandedConversion {
public:
    // Converts the rows [firstRow, firstRow + rows) of the picture.
    using ConvertRows = std::function<void(int firstRow, int rows)>;

    // `helpers` threads besides the caller's own; 0 converts in one pass.
    explicit BandedConversion(int helpers);
    ~BandedConversion();
    BandedConversion(const BandedConversion&) = delete;
    BandedConversion& operator=(const BandedConversion&) = delete;

    // Converts all `height` rows and returns once every band is done.
    void Run(int height, const ConvertRows& convertRows);

    // Helpers asked for; fewer run when the system gives no more threads.
    int Helpers() const { return _helpers; }

    // The rows of band `band` out of `bands` (even start, the last band takes
    // the rest); an empty range when the picture is too short for it.
    static std::pair<int, int> BandRows(int height, int bands, int band);

private:
    struct Job {
        const ConvertRows* convertRows = nullptr;
        int height = 0;
        int bands = 1;
    };

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

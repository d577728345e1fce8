#pragma once
// Pictures of a file at a list of times, at the size the application shows
// them, as fast as the machine allows: the times are sorted and cut into runs
// (times close enough to share decoding), and workers, each with a demuxer and
// a decoder of its own (ThumbnailWorker.h), take the runs in ascending order
// one after the other until none is left, so a worker slowed down by the
// machine holds up no other.
//
// - Key pictures (exact = false): for each time, the key picture at or before
//   it. The worker's decoder skips every picture that is not a key picture,
//   so one seek and one decoded picture each; a time whose key picture was
//   just handed out gets it again without decoding. A container without
//   presentation times (AVI) gives the key picture its decode time.
// - Exact pictures: the picture a player's seek to the time shows (the first
//   at or after it). A worker decodes forward from the key picture before its
//   time, and goes on decoding forward to its next time when that lies close
//   ahead instead of seeking again, so times in one group of pictures share
//   the decoding; pictures before a time are never converted, and those no
//   other picture refers to are not even decoded (unless the decoder has
//   threads of its own, on cores no worker uses). The last time of a run
//   reads packets ahead of the decoder and drains it after the packet of
//   the picture it shows, so a decoder that reorders never decodes the
//   pictures that follow just to let that one out.
//
// A time whose picture cannot be had (damaged data, a failed seek, past the
// last picture, a read or decode that takes longer than the time limit) gets
// an error of its own; the others go on.
//
// Threads: Open and Run are called by one application thread. Run starts the
// workers and hands each finished picture to `deliver` on the calling thread,
// one at a time, in the order they finish, then joins every worker before it
// returns. Workers share the results queue, guarded by `_mutex` (`_results`,
// `_running`), and Run's atomic count of the runs taken; every demuxer,
// decoder and converter is one worker's own.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/FFAVPtr.h"

namespace Quillet {

struct ThumbnailSpec {
    std::vector<double> times; // seconds on the pictures' clock
    int width = 0;             // as FFColorSpace::SetPictureBox
    int height = 0;
    int pixelFormat = 3;       // AVPixelFormat; BGR24
    bool exact = false;
    int workers = 0;           // 0: one per core
    double timeout = 10.0;     // seconds one time may take
};

struct ThumbnailPicture {
    size_t index = 0;       // position in the request's list of times
    double requested = 0.0; // the time asked for
    double time = 0.0;      // the picture's own time
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // packed rows; empty with an error
    std::string error;           // empty when the picture is there
};

class ThumbnailExtractor {
public:
    // Opens `source` to learn its video stream and duration; false with the
    // reason ("not found", "no video", ...) when it cannot be read.
    bool Open(const std::string& source, std::string* failure);
    // The first picture's time and the video's duration (0 when unknown).
    double StartTime() const { return _start; }
    double Duration() const { return _duration; }
    // `count` times spread evenly over the duration, from the first picture on.
    std::vector<double> Spread(int count) const;

    // Hands out one picture (or error) per time; see the header.
    void Run(const ThumbnailSpec& spec, const std::function<void(ThumbnailPicture&)>& deliver);

private:
    // Called by the workers.
    void Finished(ThumbnailPicture picture);

    std::string _source;
    double _start = 0.0;
    double _duration = 0.0;

    std::mutex _mutex;
    std::condition_variable _ready;
    std::deque<ThumbnailPicture> _results;
    int _running = 0;
};

} // namespace Quillet

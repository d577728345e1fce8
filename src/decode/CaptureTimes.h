#pragma once
// The camera's capture time of each picture sent to a video decoder and not
// yet out of it, found again by the picture's packet time (pts) when the
// decoder gives the picture. A picture the decoder never gives (a damaged
// packet, a flush) is forgotten once a later one comes out, and at most
// kKept are remembered.
//
// Threads: belongs to the decoder's picture side (the reading thread); no lock.
#include <cstddef>
#include <cstdint>
#include <deque>

namespace Quillet {

class CaptureTimes {
public:
    static constexpr std::size_t kKept = 64;
    struct Time {
        int64_t ticks = 0; // 100 ns ticks since 1970 UTC; 0 for none
        bool trusted = false;
    };

    // A packet with time `pts` (AV_NOPTS_VALUE: ignored) went into the decoder.
    void Note(int64_t pts, int64_t ticks, bool trusted);
    // The time of the picture with packet time `pts`, and every earlier note
    // forgotten; none when it was not noted.
    Time Take(int64_t pts);
    void Clear() { _times.clear(); }

private:
    struct Entry {
        int64_t pts;
        Time time;
    };
    std::deque<Entry> _times;
};

} // namespace Quillet

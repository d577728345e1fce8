#pragma once
// How many threads a video decoder gets, and of which kind. Set by the engine
// on the application's thread and read when a decoder is opened, both under
// the decoder node's lock; a change applies from the next opened decoder.
//
// Frame threads decode several pictures at once and hold up to N-1 finished
// pictures back, which a file can afford; slice threads split one picture and
// hold nothing back, which is what a live source needs for its latency.
struct AVCodecContext;

namespace Quillet {

struct DecoderThreads {
    // The most threads a decoder is given: FFmpeg's codecs put no more than
    // this to use (it warns beyond it), and every thread holds pictures of
    // its own, so more only cost memory (a count in the thousands never
    // gives a picture). The C interface refuses more; the engine clamps.
    static constexpr int kMostThreads = 16;

    // 0 picks one per core, 1 decodes on the reading thread alone, N asks
    // for N threads: frame threads for files, slice threads for live sources
    // (never frame threads, which would hand each picture out N-1 later).
    int threads = 1;
    // The source has no end and no duration: a camera or a live URL.
    bool live = false;

    // Fills the thread fields of a context before it is opened.
    void ApplyTo(AVCodecContext* context) const;

    // What 0 means for a file: frame threads for every core, and two more.
    static int AutomaticFrameThreads();
    // Threads that convert bands of a large picture beside the reading
    // thread: none when decoding on the reading thread alone, else one per
    // further core, at most three.
    int ConversionHelpers() const;
};

} // namespace Quillet

#pragma once
// One thumbnail worker: a demuxer, a decoder and a converter of its own, fed
// runs of times in ascending order (see ThumbnailExtractor.h for what each
// mode hands out).
//
// Threads: constructed on the application thread that calls
// ThumbnailExtractor::Run, then Run on one worker thread, which owns every
// field from then on. `next` and `finished` are the extractor's and guard
// what they share themselves. Codec opens and closes take the codec lock
// (FFCodecLock.h).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/FFAVPtr.h"
#include "core/FFFrame.h"
#include "decode/FFColorSpace.h"
#include "decode/LargePageFrames.h"
#include "decode/ThumbnailExtractor.h"

namespace Quillet {

namespace ThumbnailInput {

using Clock = std::chrono::steady_clock;

// Ends a demuxer's blocking read once the time one picture may take is over,
// or at once when the run is given up.
struct Deadline {
    Clock::time_point until = Clock::time_point::max();
    const std::atomic<bool>* cancelled = nullptr;
    bool Passed() const { return (cancelled && cancelled->load()) || Clock::now() > until; }
};

// An input with its streams known, reads bounded by `deadline`; null with the
// FFmpeg error in `*error`. Containers whose header describes the video (MP4,
// Matroska) are not probed (probing decodes pictures) unless `probe`.
AVInputContextPtr Open(const std::string& source, Deadline& deadline, int* error, bool probe);

} // namespace ThumbnailInput

class ThumbnailWorker {
public:
    // `decoderThreads`: the decoder's own threads (1 when the workers already
    // fill every core).
    ThumbnailWorker(const std::string& source, const ThumbnailSpec& spec, int decoderThreads,
                    const std::atomic<bool>& cancelled);

    // Takes runs of positions in `spec.times` from `next` (each in ascending
    // time, runs handed out in ascending order; empty when none is left) and
    // gives one picture or error per position to `finished`, until the runs
    // are out or the extraction is cancelled.
    void Run(const std::function<std::vector<size_t>()>& next,
             const std::function<void(ThumbnailPicture)>& finished);

private:
    bool Prepare(std::string* error);
    void StartClock();
    int NextPacket();
    int SeekTo(double t);
    bool LandingStartsOver() const;
    void Fail(ThumbnailPicture& picture, const std::string& why);
    bool Hand(ThumbnailPicture& picture, double time);
    void Reuse(ThumbnailPicture& picture) const;
    bool IndexedKeyLanding(double t, AVPacket* key);
    void Key(ThumbnailPicture& picture);
    int DecodeKey(const AVPacket& key);
    void Exact(ThumbnailPicture& picture, bool last);
    int Feed(const AVPacket& packet, bool unlessReferred);
    bool ReadAhead(double t, bool early);
    void Settle();
    void NoteKey();

    const std::string& _source;
    const ThumbnailSpec& _spec;
    const int _decoderThreads;
    bool _pictureThreads = false; // exact pictures on decoder threads of their own
    ThumbnailInput::Deadline _deadline;

    AVInputContextPtr _input;
    int _video = -1;
    double _unit = 0.0;
    bool _presentationTimes = false;
    // MP4 lists every packet in its index, with its decode time.
    bool _fullIndex = false;
    // MP4 and transport streams store every packet's decode time.
    bool _decodeTimes = false;
    // H.264, and the length before each NAL unit (0: start codes).
    bool _h264 = false;
    int _nalLengthSize = 0;
    // Before the decoder: its pictures' buffers outlive it.
    LargePageFrames _frames;
    AVCodecContextPtr _decoder;
    AVPacketPtr _packet;
    FFFrame _frame;
    FFColorSpace _convert;

    // Packets the landing read, handed to the decoder first.
    std::vector<AVPacketPtr> _lead;
    size_t _leadAt = 0;
    // The decoder's position: fed forward since the last seek, the time of
    // the last picture it gave, whether the end was sent.
    bool _decoding = false;
    bool _drained = false;
    double _lastTime = 0.0;
    double _ahead = 0.0;
    int64_t _lastKey = AV_NOPTS_VALUE;
    // Exact pictures, the last time of a run (see ReadAhead): packets read
    // but not yet fed, from the first shown at or after the time on; the
    // earliest time shown among them; once that is settled, the packets to
    // feed before the decoder is drained.
    struct Queued {
        AVPacketPtr packet;
        bool unlessReferred = false;
    };
    struct Lookahead {
        bool reading = false;
        bool settled = false;
        std::vector<AVPacketPtr> held;
        int64_t target = AV_NOPTS_VALUE;
        int64_t lastDts = AV_NOPTS_VALUE;
        std::deque<Queued> queue;
    } _lookahead;
    // Key pictures: the decoder holds state (a drained end, an error) that
    // must be flushed before the next key picture goes in.
    bool _mustFlush = false;

    // The last picture handed out, for times that show it again.
    struct Kept {
        bool valid = false;
        double time = 0.0;
        int width = 0, height = 0;
        std::vector<uint8_t> pixels;
    } _kept;
    int64_t _keptKey = AV_NOPTS_VALUE; // key pictures: its packet's time
};

} // namespace Quillet

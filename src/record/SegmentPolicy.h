#pragma once
// What the recording sink decides about file names and segments: follow-on
// names, names from a pattern, when a segment is due, and which complete
// segments retention deletes. Owned by one FFFileSink and called only under
// its file lock (on its write thread, or from a caller holding that lock);
// no locking of its own.
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>

#include "record/FFFile.h"

namespace Quillet {

// How a recording is cut into files and how long they are kept.
struct RecordingOptions {
    // Media seconds after which the next file starts at the next key
    // picture; 0: one file until stopped.
    double segmentSeconds = 0.0;
    // Names for segment and follow-on files, in the recording's folder:
    // strftime fields give the wall-clock start (cam1_%Y%m%d-%H%M%S.mp4), {n}
    // the file's number. Empty: the first file's name with "_n" in it.
    std::string namePattern;
    // Complete segments of this recording are deleted, oldest first, while
    // together they exceed keepBytes or are older than keepSeconds (0: kept).
    int64_t keepBytes = 0;
    double keepSeconds = 0.0;
    // The current file is finished and the recording stopped with "disk full"
    // when less than this would remain: -1 for the larger of 256 MB and 1%
    // of the volume, 0 for no guard.
    int64_t minFreeBytes = -1;
    FileLayout layout;
};

namespace FileNaming {

// `path` with `marker` before the first "." of its file name (never inside a
// folder); a name without a "." gets the marker at its end.
std::string WithMarker(const std::string& path, const std::string& marker);
// The folder part of `path` including its final "/", or "".
std::string Folder(const std::string& path);
// `pattern` expanded for a file started at `start` (local time) as number `n`,
// placed in `folder`; the extension of `like` is added when it has none.
std::string FromPattern(const std::string& pattern, const std::string& folder, std::time_t start, int n,
                        const std::string& like);

} // namespace FileNaming

// The complete segments of one recording, oldest first.
class SegmentRetention {
public:
    void Configure(int64_t keepBytes, double keepSeconds);
    // A file of this recording was finished at `now`.
    void Finished(const std::string& path, std::time_t now);
    // Deletes the oldest complete segments beyond the limits; how many.
    int Enforce(std::time_t now);
    void Clear() { _files.clear(); }

private:
    struct Segment {
        std::string path;
        std::time_t finished;
    };
    // Guarded by the owning sink's file lock (see the header).
    std::deque<Segment> _files;
    int64_t _keepBytes = 0;
    double _keepSeconds = 0.0;
};

} // namespace Quillet

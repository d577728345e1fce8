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
#include "record/RecordingSettings.h"

namespace Quillet {

// A recording's segments and retention as the application set them, and the
// layout of its files.
struct RecordingOptions : RecordingSettings {
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

#pragma once
// How a recording is cut into segment files and how long they are kept: the
// record the application fills (as the facade's RecordingSettings), the facade
// hands to the recording engine, and the recording sink reads. Each default is
// defined here only. A plain copied record. Public header: standard library only.
#include <cstdint>
#include <string>

namespace Quillet {

/// Segments and retention of a recording; the application uses it as FFWrapperCLI::RecordingSettings.
struct RecordingSettings {
    /// Media seconds after which the next file starts, at the next key picture; 0: one file until
    /// stopped or split.
    double segmentSeconds = 0.0;
    /// Names of segment and follow-on files, in the recording's folder: strftime fields give the
    /// wall-clock start (cam1_%Y%m%d-%H%M%S.mp4), {n} the file's number. Empty: the first file's
    /// name with "_n" in it.
    std::string namePattern;
    /// Finished segments are deleted, oldest first, while together they exceed this many bytes
    /// (0: no limit).
    int64_t keepBytes = 0;
    /// Finished segments older than this many seconds are deleted (0: kept).
    double keepSeconds = 0.0;
    /// The recording stops with FileSinkError ("disk full") when less than this would remain on
    /// the volume: -1 for the larger of 256 MB and 1% of the volume, 0 for no guard.
    int64_t minFreeBytes = -1;
};

} // namespace Quillet

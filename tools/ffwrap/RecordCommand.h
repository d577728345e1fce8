#pragma once
// `ffwrap record <source> <file> [options]`: records a source through the
// recording facade while playing it and writes the sync points the
// application would receive to a CSV file. Options:
//   --segment S          next file after S media seconds, at a key picture
//   --name-pattern P     segment names (strftime fields, {n} counter)
//   --keep-bytes N       delete the oldest segments beyond N bytes in total
//   --keep-hours H       ... or older than H hours
//   --min-free N         finish with "disk full" below N free bytes
//   --sync-every S       fsync the file every S seconds (0: only at close)
//   --classic-mp4        one index at the end instead of fragments
//   --sync-points F      sync points to the CSV file F
//   --retry              after a file error, start a new file instead of exiting
//   --threads N          decoding threads for the progress pictures (0: automatic,
//                        the default for files; a camera keeps one)
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/SegmentPolicy.h"

namespace Quillet::Tools {

struct RecordOptions {
    std::string source;
    std::string file;
    std::string syncPoints;
    Quillet::RecordingOptions recording;
    bool retry = false;
    std::optional<int> threads;
};

// Parses the arguments after "record"; nothing when they do not fit.
std::optional<RecordOptions> ParseRecordOptions(const std::vector<std::string>& args);

// Records until the source ends (or the process is interrupted by SIGINT or
// SIGTERM, which finish the files); the exit status for the tool: non-zero
// after a file error unless --retry.
int Record(const RecordOptions& options);

} // namespace Quillet::Tools

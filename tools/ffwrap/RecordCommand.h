#pragma once
// `ffwrap record <source> <file> [--split-after S] [--sync-points out.csv]`:
// records a source through the recording facade while playing it, optionally
// continuing in a new file every S seconds of media time, and writes the
// sync points the application would receive to a CSV file.
#include <optional>
#include <string>
#include <vector>

namespace Quillet::Tools {

struct RecordOptions {
    std::string source;
    std::string file;
    std::optional<double> splitAfter;
    std::string syncPoints;
};

// Parses the arguments after "record"; nothing when they do not fit.
std::optional<RecordOptions> ParseRecordOptions(const std::vector<std::string>& args);

// Records until the source ends (or the process is interrupted); the exit
// status for the tool.
int Record(const RecordOptions& options);

// The name of the n-th file (n >= 2) of a recording split by the tool:
// rec.mp4 gives rec_part2.mp4; the extension keeps choosing the container.
std::string PartFileName(const std::string& file, int n);

} // namespace Quillet::Tools

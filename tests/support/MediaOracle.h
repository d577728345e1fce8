#pragma once
// What ffprobe makes of a recorded file, and a tool process a test can kill.
#include <algorithm>
#include <cmath>
#include <string>

#include "support/ChildProcess.h"
#include "support/RecordedPackets.h"

namespace Quillet::Testing {

struct Probe {
    int frames = -1;     // video pictures decoded
    double duration = 0; // seconds of video
    bool startsWithKey = false;
};

// Decodes the first video stream of `path` to the end; the packet facts are
// ReadWritten's.
inline Probe ProbeVideo(const std::string& path)
{
    Probe p;
    std::sscanf(Capture("ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames "
                        "-of csv=p=0 '" + path + "' 2>/dev/null").c_str(), "%d", &p.frames);
    double first = INFINITY, last = -INFINITY;
    for (const WrittenPacket& v : ReadWritten(path).video) {
        if (std::isnan(v.pts))
            continue;
        if (first == INFINITY)
            p.startsWithKey = v.key;
        first = std::min(first, v.pts), last = std::max(last, v.pts);
    }
    p.duration = first == INFINITY ? 0 : last - first;
    return p;
}

// A tool run for the length of a test, started on construction.
using ToolProcess = ChildProcess;

} // namespace Quillet::Testing

#pragma once
// What ffprobe makes of a recorded file, and a tool process a test can kill.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestMedia.h"

namespace Quillet::Testing {

struct Probe {
    int frames = -1;     // video pictures decoded
    double duration = 0; // seconds of video
    bool startsWithKey = false;
};

// Decodes the first video stream of `path` to the end.
inline Probe ProbeVideo(const std::string& path)
{
    Probe p;
    const std::string out = Capture("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                    "stream=nb_read_frames -of csv=p=0 '" + path + "' 2>/dev/null");
    std::sscanf(out.c_str(), "%d", &p.frames);
    const std::string times = Capture("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags "
                                      "-of csv=p=0 '" + path + "' 2>/dev/null");
    double first = 1e9, last = -1e9, t = 0;
    char flags[8] = "";
    bool any = false;
    for (size_t pos = 0; pos < times.size();) {
        size_t end = times.find('\n', pos);
        if (end == std::string::npos)
            end = times.size();
        if (std::sscanf(times.c_str() + pos, "%lf,%7s", &t, flags) == 2) {
            if (!any)
                p.startsWithKey = flags[0] == 'K';
            any = true;
            first = std::min(first, t);
            last = std::max(last, t);
        }
        pos = end + 1;
    }
    p.duration = any ? last - first : 0;
    return p;
}

// A tool run for the length of a test, started on construction.
using ToolProcess = ChildProcess;

} // namespace Quillet::Testing

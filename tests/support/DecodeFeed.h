#pragma once
// Feeding a decoder node by hand: a clip demuxed into the records a source
// would push (support/RecordedPackets.h), the ffmpeg tools' view of it, a
// messenger that keeps what the node raised, and a reader that plays the
// records to the end.
#include <limits>
#include <sstream>

#include "core/FFControlInfo.h"
#include "decode/FFDecode.h"
#include "support/CapturingMessenger.h"
#include "support/EnginePlayback.h"
#include "support/RecordedPackets.h"
#include "support/TestMedia.h"

namespace DecodeTest {

using namespace Quillet;

using Testing::Demux;
using Testing::Demuxed;
using Testing::ReadBytes;

// ffprobe's presentation times of the first video stream in seconds, from
// its timestamps in the stream's time base (NaN for a picture without any).
inline std::vector<double> ProbeFrameTimes(const std::string& file)
{
    AVInputContextPtr input = Testing::OpenInput(file);
    const int v = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v < 0)
        return {};
    const AVRational tb = input->streams[v]->time_base;
    std::istringstream out(Testing::Capture("ffprobe -v error -select_streams v:0 -show_entries "
                                            "frame=best_effort_timestamp -of csv=p=0 " + file));
    std::vector<double> times;
    for (std::string line; std::getline(out, line);)
        if (line.rfind("N/A", 0) == 0)
            times.push_back(std::numeric_limits<double>::quiet_NaN());
        else if (!line.empty())
            times.push_back(static_cast<double>(std::stoll(line)) * tb.num / tb.den);
    return times;
}

using Picture = Testing::Shown;

struct VideoRun {
    std::vector<Picture> pictures;
    std::vector<int> sizes; // every non-zero ReadVideo answer
};

// Feeds the records as a source would (waiting while the decoder says Full)
// and reads pictures until the end of the stream is reported, then a few more.
inline VideoRun FeedAndRead(FFDecode& decode, const std::vector<std::shared_ptr<FFData>>& records, int extraReads = 3)
{
    VideoRun run;
    size_t next = 0;
    for (int idle = 0; idle < 100000;) {
        while (next < records.size() && decode.GetStatus() == FFStatus::Ready)
            decode.FFProcess(records[next++]);
        const FFCLIFrame f = decode.ReadVideo();
        if (f.size == 0) {
            ++idle;
            continue;
        }
        idle = 0;
        run.sizes.push_back(f.size);
        if (f.size < 0)
            break;
        run.pictures.push_back(Testing::Take(f));
    }
    for (int i = 0; i < extraReads; ++i)
        if (const int n = decode.ReadVideo().size; n != 0)
            run.sizes.push_back(n);
    return run;
}

} // namespace DecodeTest

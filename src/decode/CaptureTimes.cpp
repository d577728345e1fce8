#include "decode/CaptureTimes.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace Quillet {

void CaptureTimes::Note(int64_t pts, int64_t ticks, bool trusted)
{
    if (pts == AV_NOPTS_VALUE)
        return;
    if (_times.size() >= kKept)
        _times.pop_front();
    _times.push_back({pts, {ticks, trusted}});
}

CaptureTimes::Time CaptureTimes::Take(int64_t pts)
{
    for (auto it = _times.begin(); it != _times.end(); ++it) {
        if (it->pts == pts) {
            const Time time = it->time;
            _times.erase(_times.begin(), it + 1);
            return time;
        }
    }
    return {};
}

} // namespace Quillet

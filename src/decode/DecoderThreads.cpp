#include "decode/DecoderThreads.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
}

namespace Quillet {

// FFmpeg's own choice for frame threads is one per core plus one. Two more
// than the cores keeps every core busy while some threads wait for rows of a
// reference picture and while the reading thread converts a picture; beyond
// that extra threads only hold more pictures back.
int DecoderThreads::AutomaticFrameThreads()
{
    return std::clamp(av_cpu_count() + 2, 2, 16);
}

int DecoderThreads::ConversionHelpers() const
{
    // At most three: the conversion is bound by memory bandwidth, so a
    // many-core machine gains little from a thread per core for it.
    return threads == 1 ? 0 : std::clamp(av_cpu_count() - 1, 0, 3);
}

void DecoderThreads::ApplyTo(AVCodecContext* context) const
{
    if (threads == 1) {
        context->thread_count = 1;
        return;
    }
    // A live source gets slice threads (0: FFmpeg picks one per core), which
    // hold no picture back; frame threads would hold N-1 pictures, each a
    // picture interval of latency. Slice threads split only pictures coded
    // in several slices, as many cameras code them.
    if (live) {
        context->thread_count = threads <= 0 ? 0 : threads;
        context->thread_type = FF_THREAD_SLICE;
        return;
    }
    context->thread_count = threads <= 0 ? AutomaticFrameThreads() : threads;
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

} // namespace Quillet

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
    // Automatic for a live source means slice threads (0: FFmpeg picks one
    // per core), which hold no picture back. They split only pictures coded
    // in several slices, and many cameras code one, so an explicit count asks
    // for frame threads there too: every core in use whatever the slicing,
    // for N-1 pictures of latency. A codec without frame threads falls back
    // to slices.
    if (live && threads <= 0) {
        context->thread_count = 0;
        context->thread_type = FF_THREAD_SLICE;
        return;
    }
    context->thread_count = threads <= 0 ? AutomaticFrameThreads() : threads;
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

} // namespace Quillet

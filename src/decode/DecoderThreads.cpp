#include "decode/DecoderThreads.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace Quillet {

void DecoderThreads::ApplyTo(AVCodecContext* context) const
{
    if (threads == 1) {
        context->thread_count = 1;
        return;
    }
    // FFmpeg turns a count of 0 into one thread per core (plus one for frame
    // threads); a codec without frame threads falls back to slices.
    context->thread_count = threads < 0 ? 0 : threads;
    context->thread_type = live ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
}

} // namespace Quillet

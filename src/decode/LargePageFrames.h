#pragma once
// Picture buffers for a decoder that is set up, used for a few pictures and
// torn down (a thumbnail worker's). Every picture's planes lie in one block
// that the kernel may back with large pages: a fresh decoder's first pictures
// then cost a handful of page faults instead of one per 4 KB, some 800 for a
// 1080p picture, which on a virtual machine cost more than decoding it.
// Blocks come from a pool of the decoder's own and are reused picture after
// picture; small pictures use ordinary memory.
//
// Threads: Install before avcodec_open2 on the thread that sets the decoder
// up. The decoder calls GetBuffer from its own threads (several at once with
// frame threads): `_mutex` guards the pool and its layout. The object must
// outlive the decoder; blocks still lent to pictures stay valid after it goes.
#include <cstddef>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace Quillet {

class LargePageFrames {
public:
    LargePageFrames() = default;
    LargePageFrames(const LargePageFrames&) = delete;
    LargePageFrames& operator=(const LargePageFrames&) = delete;
    ~LargePageFrames();

    // Makes `context` take its picture buffers from here (its `opaque` points
    // here); decoders that cannot use outside buffers keep their own.
    void Install(AVCodecContext* context);

private:
    static int GetBuffer(AVCodecContext* context, AVFrame* frame, int flags);
    int Lend(AVCodecContext* context, AVFrame* frame, int flags);

    std::mutex _mutex;
    AVBufferPool* _pool = nullptr;
    // The layout the pool's blocks were made for.
    int _format = -1, _width = 0, _height = 0;
    int _linesize[4] = {};
    size_t _offset[4] = {};
    size_t _blockSize = 0;
};

} // namespace Quillet

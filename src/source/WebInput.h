#pragma once
// Inputs on a web server that survive a connection cut short. A web server,
// or a proxy on the way, may close a connection before the length it
// announced; an input set up here then asks for the rest (a range from where
// it was cut) instead of ending the file there, at once and again after a
// second. The reads' own deadline (the interrupt callback) bounds the tries
// as it bounds any read. Live streams without a length are left alone: asked
// again, a finite one would start over.
//
// Threads: any thread, for a context it owns. The only shared state is
// FFmpeg's own open function, the same for every context, kept in an atomic.
extern "C" {
#include <libavformat/avformat.h>
}

namespace Quillet {

// Makes every input `context` opens on http:// or https:// (the file itself,
// and each playlist and segment a playlist demuxer opens) ask for the rest of
// a connection cut short. Call before avformat_open_input; not for custom I/O.
void AskForTheRestWhenCut(AVFormatContext* context);

} // namespace Quillet

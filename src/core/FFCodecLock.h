#pragma once
// One process-wide mutex around every codec lookup, open and close: FFmpeg
// does not allow codecs to be opened and closed concurrently.
// Any thread takes it, briefly, around avcodec_open2 / freeing a context /
// decoder lookup. It is the innermost lock of the library: code holding it
// calls nothing that takes another library lock.
#include <mutex>

namespace Quillet {

std::mutex& CodecLock();

} // namespace Quillet

#pragma once
// One process-wide mutex around every codec lookup, open and close: FFmpeg
// does not allow codecs to be opened and closed concurrently.
#include <mutex>

namespace Quillet {

std::mutex& CodecLock();

} // namespace Quillet

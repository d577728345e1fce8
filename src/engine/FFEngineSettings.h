#pragma once

namespace Quillet {

struct FFEngineSettings {
    // Scrubbing while paused is served from the pictures of the band already read.
    bool optimizeSeek = true;
    // Video decoding threads: 0 automatic (frame threads for files, slice
    // threads for live sources), 1 the reading thread alone, N that many.
    int decodingThreads = 1;
};

} // namespace Quillet

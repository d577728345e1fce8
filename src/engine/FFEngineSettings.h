#pragma once

namespace Quillet {

// A value: copied in and out under the engine's `_mutex`.
struct FFEngineSettings {
    // Scrubbing while paused is served from the pictures of the band already read.
    bool optimizeSeek = true;
    // Longest a network open (with its stream and duration search) or a
    // single network read may block, in seconds; 0 waits forever.
    double networkTimeoutSeconds = 10.0;
    // Video decoding threads: 0 automatic (frame threads for files, slice
    // threads for live sources), 1 the reading thread alone, N that many
    // threads (frame threads for files, slice threads for live sources).
    int decodingThreads = 1;
    // How a live source is read when the reader falls behind: 0 newest
    // picture (queued ones given up), 1 every picture up to a bound (the
    // numbers of FFWrapperCLI::LiveReading). Files ignore it.
    int liveReading = 0;
};

} // namespace Quillet

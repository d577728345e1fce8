#pragma once

namespace Quillet {

struct FFEngineSettings {
    // Scrubbing while paused is served from the pictures of the band already read.
    bool optimizeSeek = true;
    // Longest a network open (with its stream and duration search) or a
    // single network read may block, in seconds; 0 waits forever.
    double networkTimeoutSeconds = 10.0;
};

} // namespace Quillet

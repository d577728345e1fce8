#pragma once

namespace Quillet {

// A value: copied in and out under the engine's `_mutex`.
struct FFEngineSettings {
    // Scrubbing while paused is served from the pictures of the band already read.
    bool optimizeSeek = true;
};

} // namespace Quillet

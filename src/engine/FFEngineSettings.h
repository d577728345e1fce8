#pragma once

namespace Quillet {

struct FFEngineSettings {
    // Scrubbing while paused is served from the pictures of the band already read.
    bool optimizeSeek = true;
};

} // namespace Quillet

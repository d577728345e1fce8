#pragma once
// Serves a live source to any number of clients while it may also record it.
// A slow client skips ahead to the newest key frame instead of holding the
// camera back. Threads and lock order as in FFServingEngine.h.
#include <memory>

#include "engine/FFFileEngine.h"
#include "engine/FFServingEngine.h"

namespace Quillet {

class FFFileServerEngine : public FFServingEngine<FFFileEngine, FFStreamOutgoing> {
public:
    explicit FFFileServerEngine(const std::string& log);

    // Camera settings for the next open; application thread, under `_mutex`.
    void SetRTSPSourceSettings(std::shared_ptr<FFSourceSettings> settings);

protected:
    // A recording waiting for its first key packet keeps the source open.
    bool _MayCloseWithoutClients() override;
    void _SaveToVideoFile(const std::string& fileName) override;
    void _StopVideoSave() override;
};

} // namespace Quillet

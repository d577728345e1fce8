#pragma once
// Client queue of a live stream: a client that falls behind skips ahead to
// the newest key frame, so a slow client never stalls the camera.
// Threads and locking as for FFOutgoing.
#include "serialize/FFOutgoing.h"

namespace Quillet {

class FFStreamOutgoing : public FFOutgoing {
public:
    FFStreamOutgoing() = default;
    ~FFStreamOutgoing() override;

    // A video key record arriving while the client has not yet taken the
    // previous one drops everything queued except the newest codec
    // description. Always Ready.
    FFStatus FFProcess(std::shared_ptr<FFSerializedData> record) override;

private:
    // Both expect `_lock` held.
    bool _HoldsVideoKey() const;
    void _SkipToNewKeyFrame();
};

} // namespace Quillet

#pragma once
// Client queue of a played source: keeps every record and makes a file source
// wait instead once the client is far enough behind. A live camera does not
// wait: past kLiveSkipRecords (which a waiting source never reaches) a video
// key record drops the queue to itself, as a live stream's client does, so a
// stalled client neither slows the camera nor grows without bound. Threads
// and locking as for FFOutgoing: the source's thread pushes and asks
// GetStatus, the application's thread takes batches.
#include <cstddef>

#include "serialize/FFOutgoing.h"

namespace Quillet {

class FFPlayOutgoing : public FFOutgoing {
public:
    // Beyond this many queued records the queue answers Full.
    static constexpr size_t kMaxQueuedRecords = 300;
    static constexpr uint32_t kDefaultNumberOutgoingPackets = 30;
    // Queued records from which a key record starts the queue over.
    static constexpr size_t kLiveSkipRecords = 2 * kMaxQueuedRecords;

    FFPlayOutgoing();
    ~FFPlayOutgoing() override;

    // Appends; below kLiveSkipRecords nothing is ever dropped. Always Ready.
    FFStatus FFProcess(std::shared_ptr<FFSerializedData> record) override;
    // Full while more than kMaxQueuedRecords records wait, else Ready.
    FFStatus GetStatus() override;
};

} // namespace Quillet

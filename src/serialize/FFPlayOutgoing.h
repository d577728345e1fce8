#pragma once
// Client queue of a played file: keeps every record and makes the source wait
// instead once the client is far enough behind. Threads and locking as for
// FFOutgoing: the source's thread pushes and asks GetStatus, the
// application's thread takes batches.
#include <cstddef>

#include "serialize/FFOutgoing.h"

namespace Quillet {

class FFPlayOutgoing : public FFOutgoing {
public:
    // Beyond this many queued records the queue answers Full.
    static constexpr size_t kMaxQueuedRecords = 300;
    static constexpr uint32_t kDefaultNumberOutgoingPackets = 30;

    FFPlayOutgoing();
    ~FFPlayOutgoing() override;

    // Appends; nothing is ever dropped. Always Ready.
    FFStatus FFProcess(std::shared_ptr<FFSerializedData> record) override;
    // Full while more than kMaxQueuedRecords records wait, else Ready.
    FFStatus GetStatus() override;
};

} // namespace Quillet

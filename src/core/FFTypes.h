#pragma once
// Enumerations shared by every node of the graph. Their numbers travel on the
// wire and through the facade, so they are fixed. The event numbers
// (ConnectionStatus, FFMessageType) stand in core/EventCodes.h, shared with
// the facade. Plain values, any thread.
#include <cstdint>

#include "core/EventCodes.h"

namespace Quillet {

enum class FFType : int32_t {
    Packet = 1,
    CodecInfo = 2,
    SeekInfo = 3,
    EOSInfo = 4,
    AVCodec = 5,
    ConnectionInfo = 6,
};

enum class FFAttribute : int32_t {
    Plain = 0,
    VideoKey = 1,
    Codec = 2,
    Seek = 3,
    Control = 4,
    OtherKey = 5,
    // Attribute of a client transfer unit: several records back to back.
    Batch = 7,
};

enum class FFStreamType : int32_t {
    None = 0,
    Video = 1,
    Audio = 2,
};

// The answer a consuming node gives a producer that asks whether it may push.
class FFStatus {
public:
    enum FFStreamStatus : int32_t {
        Ready = 0,
        Full = 1,
        Paused = 3,
        Seeking = 6,
    };

    FFStatus() = default;
    FFStatus(FFStreamStatus s) : status(s) {}
    operator FFStreamStatus() const { return status; }
    FFStreamStatus Get() const { return status; }

    // A producer waits while a destination answers Full or Paused.
    bool MustWait() const { return status == Full || status == Paused; }

    FFStreamStatus status = Ready;
};

} // namespace Quillet

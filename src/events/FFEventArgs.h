#pragma once
// Native event records, raised by the nodes of a graph through their
// messenger. They are valid only during the call that carries them, on the
// thread that raised them (a library thread, not the application's).
#include <cstdint>
#include <string>

#include "core/FFTypes.h"

namespace Quillet {

enum FFEventType : int32_t {
    SyncPointEvent = 1,
    MessageEvent = 2,
    ConnectionStatusEvent = 3,
    PublishStatusEvent = 4,
    MissedPicturesEvent = 5,
};

struct FFEventArgs {
    explicit FFEventArgs(FFEventType t) : type(t) {}
    FFEventType type;
};

struct FFMessageArgs : FFEventArgs {
    explicit FFMessageArgs(FFMessageType m) : FFEventArgs(MessageEvent), message(m) {}
    FFMessageType message;
};

struct FFSyncPointArgs : FFEventArgs {
    FFSyncPointArgs() : FFEventArgs(SyncPointEvent) {}
    double videoTime = 0.0;     // seconds of video time in the file
    bool isGood = false;        // whether the wall-clock time is trustworthy
    std::string fileName;       // the recorded file the point belongs to
    int64_t PCTimeUTC = 0;      // 100 ns ticks since 1970-01-01 00:00 UTC
};

struct FFSourceConnectionStatusArgs : FFEventArgs {
    FFSourceConnectionStatusArgs() : FFEventArgs(ConnectionStatusEvent) {}
    FFSourceConnectionStatusArgs(ConnectionStatus s, std::string m)
        : FFEventArgs(ConnectionStatusEvent), status(s), message(std::move(m))
    {
    }
    ConnectionStatus status = ConnectionStatus::Disconnected;
    std::string message;
};

// A publishing output changed state (see publish/PublishStatus.h); raised on
// the output's worker thread.
struct FFPublishStatusArgs : FFEventArgs {
    FFPublishStatusArgs(std::string u, int32_t s, std::string m)
        : FFEventArgs(PublishStatusEvent), url(std::move(u)), state(s), message(std::move(m))
    {
    }
    std::string url;
    int32_t state;
    std::string message; // why the connection failed or was lost, else empty
};

// A player of a live source missed pictures (given up or skipped because the
// reader fell behind); raised on the reading thread, at most once a second.
struct FFMissedPicturesArgs : FFEventArgs {
    FFMissedPicturesArgs() : FFEventArgs(MissedPicturesEvent) {}
    uint64_t missed = 0; // since the previous event
    uint64_t total = 0;  // since the source was opened
};

} // namespace Quillet

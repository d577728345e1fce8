#pragma once
// Native event records, raised by the nodes of a graph through their
// messenger. They are valid only during the call that carries them.
#include <cstdint>
#include <string>

#include "core/FFTypes.h"

namespace Quillet {

enum FFEventType : int32_t {
    SyncPointEvent = 1,
    MessageEvent = 2,
    ConnectionStatusEvent = 3,
};

// Numbers shared with the facade's message type.
enum FFMessageEventType : int32_t {
    NoError = 0,
    FileSinkError = 1,
    SourceError = 2,
    RTSPSourceError = 3,
    EndOfStream = 4,
    SyncPointReady = 5,
    // One stream (video or audio) cannot be decoded or converted and is
    // given up; the other plays on.
    StreamRefused = 6,
};

struct FFEventArgs {
    explicit FFEventArgs(FFEventType t) : type(t) {}
    FFEventType type;
};

struct FFMessageArgs : FFEventArgs {
    explicit FFMessageArgs(int32_t m) : FFEventArgs(MessageEvent), message(static_cast<FFMessageEventType>(m)) {}
    FFMessageEventType message;
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

} // namespace Quillet

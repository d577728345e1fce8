#pragma once
// Native event records, raised by the nodes of a graph through their
// messenger. They are valid only during the call that carries them, on the
// thread that raised them. A messenger that holds an event back until the
// raising call has let go of its locks (core/CallScope.h) keeps a Clone.
#include <cstdint>
#include <memory>
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
    virtual ~FFEventArgs() = default;
    // A copy of the whole record, kept by a deferred event.
    virtual std::shared_ptr<FFEventArgs> Clone() const { return std::shared_ptr<FFEventArgs>(new FFEventArgs(*this)); }
    FFEventType type;

protected:
    FFEventArgs(const FFEventArgs&) = default;
};

// Clone for each record type.
template <typename Record>
struct FFEventRecord : FFEventArgs {
    using FFEventArgs::FFEventArgs;
    std::shared_ptr<FFEventArgs> Clone() const override
    {
        return std::make_shared<Record>(static_cast<const Record&>(*this));
    }
};

struct FFMessageArgs : FFEventRecord<FFMessageArgs> {
    explicit FFMessageArgs(FFMessageType m) : FFEventRecord(MessageEvent), message(m) {}
    FFMessageType message;
};

struct FFSyncPointArgs : FFEventRecord<FFSyncPointArgs> {
    FFSyncPointArgs() : FFEventRecord(SyncPointEvent) {}
    double videoTime = 0.0;     // seconds of video time in the file
    bool isGood = false;        // whether the wall-clock time is trustworthy
    std::string fileName;       // the recorded file the point belongs to
    int64_t PCTimeUTC = 0;      // 100 ns ticks since 1970-01-01 00:00 UTC
};

struct FFSourceConnectionStatusArgs : FFEventRecord<FFSourceConnectionStatusArgs> {
    FFSourceConnectionStatusArgs() : FFEventRecord(ConnectionStatusEvent) {}
    FFSourceConnectionStatusArgs(ConnectionStatus s, std::string m)
        : FFEventRecord(ConnectionStatusEvent), status(s), message(std::move(m))
    {
    }
    ConnectionStatus status = ConnectionStatus::Disconnected;
    std::string message;
};

// A publishing output changed state (see publish/PublishStatus.h); raised on
// the output's worker thread.
struct FFPublishStatusArgs : FFEventRecord<FFPublishStatusArgs> {
    FFPublishStatusArgs(std::string u, int32_t s, std::string m)
        : FFEventRecord(PublishStatusEvent), url(std::move(u)), state(s), message(std::move(m))
    {
    }
    std::string url;
    int32_t state;
    std::string message; // why the connection failed or was lost, else empty
};

// A player of a live source missed pictures (given up or skipped because the
// reader fell behind); raised on the reading thread, at most once a second.
struct FFMissedPicturesArgs : FFEventRecord<FFMissedPicturesArgs> {
    FFMissedPicturesArgs() : FFEventRecord(MissedPicturesEvent) {}
    uint64_t missed = 0; // since the previous event
    uint64_t total = 0;  // since the source was opened
};

} // namespace Quillet

#pragma once
// The recording sink the engines use: while recording it reports sync points,
// pairs of a position in the recorded file and the wall-clock time at which
// that picture was captured, when a file starts, at most every 30 s while it
// is written, and when it ends.
//
// Threads: FFFileSink calls the hooks on its write thread, or, for a file's
// last sync point, on the thread that stops the recording once the write
// thread has ended (StopWriteThread -> Finish, under the sink's file lock).
// The hooks run one at a time, so the sync-point fields below take no lock.
#include <cstdint>
#include <functional>
#include <string>

#include "record/FFFileSink.h"

namespace Quillet {

class SyncingFileSink : public FFFileSink {
public:
    // 100 ns ticks since 1970-01-01 00:00 UTC.
    using WallClock = std::function<int64_t()>;

    static constexpr int64_t kTicksPerSecond = 10000000;

    // The clock decides when intermediary sync points are due; the system
    // clock unless one is given.
    explicit SyncingFileSink(WallClock clock = SystemUtcTicks);

    static int64_t SystemUtcTicks();
    // "%Y-%m-%d %H:%M:%S.mmm" in UTC, or "Invalid timepoint".
    static std::string FormatUtcTicks(int64_t ticks);

protected:
    void _WritingFirstPacket(const FFPacket& packet) override;
    void _WritingPacket(const FFPacket& packet) override;
    void _WroteLastPacket(const FFPacket& packet) override;
    // The same clock as the sync points, so files are named by it too.
    std::time_t _Now() const override;

private:
    void _SendSyncInfo(const FFPacket& packet);

    // The hooks' alone (see the header).
    WallClock _clock;
    int64_t _syncInterval = 30;
    int64_t _nextSyncTime = 0;
    int64_t _lastSyncPts = -1;
    double _fileStartTS = -1.0;
};

} // namespace Quillet

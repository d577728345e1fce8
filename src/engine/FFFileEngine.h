#pragma once
// The recording engine: a playback engine whose source also feeds a
// recording sink, next to the traffic node, so recording sees every packet
// the source reads whatever decoding and pausing do.
// Threads and lock order as in FFEngine.h. The recording operations come
// from the application's thread and take `_mutex`; the sink's writer thread
// reports write failures through Error without it. The sink has its own
// lock, taken after `_mutex` (it is a node in the order).
#include <string>

#include "engine/FFEngine.h"
#include "record/SyncingFileSink.h"

namespace Quillet {

class FFFileEngine : public FFEngine {
public:
    // `clock` paces the intermediary sync points (the system's UTC clock
    // unless given; tests and replays supply their own).
    explicit FFFileEngine(const std::string& log, SyncingFileSink::WallClock clock = {});
    ~FFFileEngine() override;

    void Error(const std::string& where, const std::exception& e, FFMessageType message) override;
    void RequestShutdown() override;

    // Segments, naming, retention, free-space minimum and file layout of the
    // recordings started or split from now on.
    void SetRecordingOptions(const RecordingOptions& options);
    void SaveToVideoFile(const std::string& fileName);
    // Closes the current file and goes on in `newFile` at the next key packet.
    void SplitFile(const std::string& newFile);
    void StopVideoSave();
    bool IsVideoSave(bool* pending) const;

protected:
    void _StartEngine() override;
    void _StopEngine() override;
    virtual void _SaveToVideoFile(const std::string& fileName);
    virtual void _StopVideoSave();

    // Wired and started under `_mutex`; guarded by its own lock otherwise.
    mutable SyncingFileSink _fileSink;
};

} // namespace Quillet

#pragma once
// The recording facade: the player facade plus recording to container files.
// Public header. Threads and locks as FFWrapper: every call holds the monitor.
#include <string>

#include "FFWrapper.h"
#include "../Export.h"

namespace Quillet {
class FFFileEngine;
}

namespace Quillet::FFWrapperCLI {

/// The recording facade: everything FFWrapper does, plus recording the source by stream copy to
/// container files (format from the file name's extension: .mp4, .avi, .mkv, ...), splitting into
/// follow-on files, and sync points.
///
/// Recording needs the source to be played: keep calling ReadFrameGetSize while recording.
/// A recording starts at the first key picture. Each file reports sync points (a SyncPointEventArgs
/// at its start, every 30 seconds and at its end).
///
/// Threads: as FFWrapper, any application thread may call every operation. The file is written on
/// the recording's own write thread; sync points and FileSinkError arrive on that thread (a file's
/// last sync point may come inside StopVideoSave or CloseSource, on their caller's thread).
class QUILLET_EXPORT FFFileWrapper : public FFWrapper {
public:
    /// A recorder whose log lines use the category "FF1".
    FFFileWrapper();
    /// A recorder whose log lines use the category `log`.
    explicit FFFileWrapper(const std::string& log);
    /// Takes ownership of an engine made by a derived facade.
    explicit FFFileWrapper(Quillet::FFFileEngine* engine);

    /// Starts recording to `fileName`, from the next key picture on.
    void SaveToVideoFile(const std::string& fileName);
    /// Ends the current file at the next key picture and continues in `newFile`.
    void SplitFile(const std::string& newFile);
    /// Ends the recording; the file is finished on the write thread.
    void StopVideoSave();
    /// True while a file is being written; `pending` is set when a file name waits for its first
    /// key picture.
    bool IsVideoSave(bool& pending);

protected:
    /// The recording engine, for derived facades; null after disposal. Use under `_mutex`.
    Quillet::FFFileEngine* FileEngine() const;
};

} // namespace Quillet::FFWrapperCLI

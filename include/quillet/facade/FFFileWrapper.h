#pragma once
// The recording facade: the player facade plus recording to container files.
// Public header. Threads and locks as FFWrapper: no facade lock is held
// across an engine call, and handlers run with no library lock held.
#include <memory>
#include <string>

#include "FFWrapper.h"
#include "../record/RecordingSettings.h"
#include "../Export.h"

namespace Quillet {
class FFFileEngine;
}

namespace Quillet::FFWrapperCLI {

/// Segments and retention of a recording (FFFileWrapper::SetRecordingSettings); defined with the
/// library's own record.
using Quillet::RecordingSettings;

/// The recording facade: everything FFWrapper does, plus recording the source by stream copy to
/// container files (format from the file name's extension: .mp4, .avi, .mkv, ...), splitting into
/// follow-on files, and sync points.
///
/// A file source is recorded at the pace it is played: keep calling ReadFrameGetSize while
/// recording it. A live camera is recorded whatever the reader does: what the disk has not taken
/// waits in memory (up to 30 s or 256 MB; past that the file goes on from the next key picture and
/// FileSinkError is raised, the log saying "recording fell behind").
/// A recording starts at the first key picture. Each file reports sync points (a SyncPointEventArgs
/// at its start, every 30 seconds and at its end).
///
/// Threads: as FFWrapper, any application thread and any event handler may call every operation. The file is written on
/// the recording's own write thread; sync points and FileSinkError arrive on that thread (a file's
/// last sync point may come inside StopVideoSave or CloseSource, on their caller's thread; a
/// "recording fell behind" FileSinkError on the source's read thread).
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
    /// Ends the recording and finishes the file. From a handler on the recording's write thread (a
    /// sync point, say) the file is finished there and the thread ends when the handler returns.
    /// @return StopResult::AfterHandler when called on the write thread itself, else Done.
    StopResult StopVideoSave();
    /// True while a file is being written; `pending` is set when a file name waits for its first
    /// key picture.
    bool IsVideoSave(bool& pending);
    /// Segments and retention for the recordings started after this call.
    void SetRecordingSettings(const RecordingSettings& settings);

protected:
    /// The recording engine, for derived facades; null after disposal. A copy keeps it alive.
    std::shared_ptr<Quillet::FFFileEngine> FileEngine() const;
};

} // namespace Quillet::FFWrapperCLI

#pragma once
// The destination node that records a stream into container files. The
// source's thread only queues records; the sink's write thread drains the
// queue into the current FFFile every 100 ms, and at once when the queue
// passes kWakeThreshold or the stream ends. A file starts at the first video
// key packet, every file is re-timed to begin at zero, and the recording is
// split into follow-on files on request, on a codec change, when a live
// connection is lost and when a segment's media time is up. A name made up
// here (follow-on, segment, pattern) never writes over a file on disk, the
// recording's own or another's: a taken name gets the first free "_n" (the
// sync points name the file as created). Below the free-
// space minimum the file is finished and FileSinkError "disk full" raised.
// A live source never waits for the sink: what the disk has not taken waits
// in the queue, bounded by RecordingBacklog; past the bound the file goes on
// from the next key picture and FileSinkError "recording fell behind" (with
// the seconds lost, in the log) is raised on the source's thread.
//
// Threads: FFProcess/Flush on the source's thread; Set*/Start/Stop/Finish/
// IsVideoSave on the engine's threads; everything else on the write thread.
// RequestStop only marks and wakes (the engine calls it under its lock);
// StopWriteThread joins, so it is called with no lock held. Events of the
// write thread reach their handlers after each record is written, with no
// lock held (core/CallScope.h); a handler there may
// stop the recording: the stop then finishes the file at once and the thread
// ends when it returns.
// _queueLock guards _queue and _backlog; _wakeLock guards _wakeRequested
// (StopWriteThread and the destructor wake the writer and join it); _fileLock guards
// the file, the names, the split counters, the segment and retention state.
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "core/FFThread.h"
#include "events/FFMessageClient.h"
#include "record/FFFile.h"
#include "record/FreeSpaceGuard.h"
#include "record/RecordingBacklog.h"
#include "record/SegmentPolicy.h"

namespace Quillet {

class FFFileSink : public FFDestNode<FFData>, public FFMessageClient {
public:
    // Above this many queued records the producer is told to wait.
    static constexpr size_t kQueueLimit = 1000;
    // At this many queued records the write thread is woken at once.
    static constexpr size_t kWakeThreshold = 64;
    // Packets held at most while waiting for a decode time to start a file.
    static constexpr size_t kMaxHeldPackets = 16;
    // Sound packets held at most meanwhile.
    static constexpr size_t kMaxHeldAudio = 64;

    enum class SplitKind { CodecChange, ConnectionLoss };

    // The name of the n-th follow-on file of `base`: "_#n" (codec change) or
    // "_%n" (connection loss) before the first "." of the file name, or at
    // its end when it has none; always in the same folder.
    static std::string FollowOnFileName(const std::string& base, SplitKind kind, int n);

    FFFileSink() = default;
    // Does not finish the file: the owner calls StopWriteThread first. A
    // write thread left running is only waited for, so it never outlives
    // the sink.
    ~FFFileSink() override;
    FFFileSink(const FFFileSink&) = delete;
    FFFileSink& operator=(const FFFileSink&) = delete;

    // Queues the record (within the backlog bound); Full while more than
    // kQueueLimit are waiting, which a file source waits for.
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    // Drops the queue and any pending file name; the open file stays open.
    void Flush() override;

    // The file to write next; while recording, a split at the next key
    // packet (before the first one, the file waiting for it is renamed).
    void SetNextFileName(const std::string& name);
    // Segments, naming, retention, free-space minimum and file layout; for
    // files prepared from now on.
    void SetRecordingOptions(const RecordingOptions& options);
    // Starts the write thread when a file name is set and it is not running.
    void StartWriteThread();
    // Marks the stop and wakes the writer; never waits.
    void RequestStop();
    // Ends the write thread, writes out what is queued, closes the file.
    // False when called on the write thread itself (a handler): the file is
    // finished all the same and the thread ends when the handler returns.
    bool StopWriteThread();
    // Writes what is queued and closes the current file.
    void Finish();
    // Whether a file is being written; pending: a file name waits to start.
    bool IsVideoSave(bool* pending);
    bool IsWriting();

protected:
    // Called on the write thread with the video key packet that starts a file.
    virtual void _WritingFirstPacket(const FFPacket& packet);
    // Called for every video packet about to be written, the first included.
    virtual void _WritingPacket(const FFPacket& packet);
    // Called with the last video packet of a file just before it is finished.
    virtual void _WroteLastPacket(const FFPacket& packet);
    // The wall clock that names files and times retention; the system's.
    virtual std::time_t _Now() const;

    // Seconds of source time of the current file's first key packet; -1 while
    // searching for one.
    double _FirstTS() const { return _firstTS; }
    // The current writer (may be closed), or null.
    const FFFile* _CurrentFile() const { return _file.get(); }

    // One drain of the queue into the file; the write thread's unit of work.
    void _WriteQueueToFile();

private:
    // These take the locks they need themselves.
    void _WriteFileThread();
    void _WakeWriter();
    void _WaitForWork();
    bool _StartFile(const std::shared_ptr<FFPacket>& packet);
    void _StartFileAt(const FFPacket& packet, int64_t startDts);
    bool _WriteRetimed(const FFPacket& packet, int64_t dts);
    void _RequestSegmentIfDue(const FFPacket& packet);
    void _WritePacketRecord(const std::shared_ptr<FFPacket>& packet);
    void _ConnectionChanged(const FFConnectionInfo& info);
    void _CodecChanged();
    void _PrepareFile(std::shared_ptr<FFAVCodec> codec);
    void _PrepareFile(std::shared_ptr<FFCodecInfo> video);
    void _SplitIfPending(const FFPacket& packet);
    bool _WriteVideo(const std::shared_ptr<FFPacket>& packet);
    void _WriteAudio(const std::shared_ptr<FFPacket>& packet);
    void _CodecFileSplit();
    void _ConnectionFileSplit();
    void _DiscardQueue();
    void _ReportFellBehind(double lostSeconds);

    // Called with `_fileLock` held.
    std::string _FirstName(const std::string& name);
    std::string _PatternName();
    // Whether a file named `name` may replace one on disk: only under the
    // name the application gave. Every other name is never written over.
    bool _MayReplace(const std::string& name) const;
    void _SegmentFinished(const std::string& path);
    std::unique_ptr<FFFile> _NewFile(const std::string& name);
    void _ReuseCurrentFile();
    void _InstallPreparedFile(std::unique_ptr<FFFile> file, int status);
    void _FinishFile();
    void _GuardFreeSpace();
    void _CountSegmentTime(int64_t dts);
    AVPacketPtr _Retimed(const FFPacket& packet, int streamIndex, int64_t firstPts,
                         int64_t dts = AV_NOPTS_VALUE);
    int64_t _GetVideoFirstPts();
    int64_t _GetAudioFirstPts();
    std::string _SplitName(int& counter, SplitKind kind);

    // Atomic, or the owning thread's (the write thread handle): no lock.
    std::atomic<bool> _running{false};
    // Counts the write threads started: a thread restarted from a handler on
    // the old one leaves the old one's loop at once.
    std::atomic<uint64_t> _generation{0};
    // A write failed and was reported: nothing more goes into the files
    // until the write thread is started again.
    std::atomic<bool> _writeFailed{false};
    thread<FFFileSink> _writeThread{"file write"};
    // `_queueLock` guards `_queue` and `_backlog`.
    std::recursive_mutex _queueLock;
    std::deque<std::shared_ptr<FFData>> _queue;
    RecordingBacklog _backlog;
    // `_wakeLock` guards `_wakeRequested`.
    std::mutex _wakeLock;
    std::condition_variable _wake;
    bool _wakeRequested = false;
    // `_fileLock` guards the current file and the recording state below. The
    // start bookkeeping (_heldPackets, _fileStarted) is also read by the
    // write thread without it: only that thread, or Finish once it has
    // stopped, changes it.
    std::recursive_mutex _fileLock;
    double _firstTS = -1.0;
    // Whether the current file has its first key packet. Kept apart from
    // _firstTS: with B-frames the first decode time is usually negative.
    bool _fileStarted = false;
    // The same start as _firstTS, in ticks of the video source time base.
    int64_t _firstDts = 0;
    std::unique_ptr<FFFile> _file;
    std::string _nextFile;
    std::shared_ptr<FFPacket> _lastWrittenVideo;
    int _codecSplitCount = 0;
    int _connectionSplitCount = 0;
    std::string _splitBaseName;
    std::shared_ptr<FFCodecInfo> _pendingAudioCodec;
    // The first key packet and those after it while they come without a
    // decode time; theirs are taken from the first packet that has one.
    std::vector<std::shared_ptr<FFPacket>> _heldPackets;
    // Sound that came while those were held: what lies from the start found
    // for them on goes into the file after them.
    std::vector<std::shared_ptr<FFPacket>> _heldAudio;
    RecordingOptions _options;
    FreeSpaceGuard _guard;
    SegmentRetention _retention;
    // Media time of the current file, in video ticks, from the decode-time
    // steps between its packets (so a timestamp restart adds nothing).
    int64_t _segmentTicks = 0;
    int64_t _lastSegmentDts = AV_NOPTS_VALUE;
    // Files of this recording so far (numbers the pattern's {n}).
    int _fileCount = 0;
    // The name the recording was started with (folder and extension).
    std::string _recordingName;
};

} // namespace Quillet

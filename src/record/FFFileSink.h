#pragma once
// The destination node that records a stream into container files. The
// source's thread only queues records; the sink's write thread drains the
// queue every 100 ms into the current FFFile. A file starts at the first video
// key packet, every file is re-timed to begin at zero, and the recording is
// split into follow-on files on request, on a codec change and when a live
// connection is lost.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "core/FFThread.h"
#include "events/FFMessageClient.h"
#include "record/FFFile.h"

namespace Quillet {

class FFFileSink : public FFDestNode<FFData>, public FFMessageClient {
public:
    // Above this many queued records the producer is told to wait.
    static constexpr size_t kQueueLimit = 1000;

    enum class SplitKind { CodecChange, ConnectionLoss };

    // The name of the n-th follow-on file of `base`: "_#n" (codec change) or
    // "_%n" (connection loss) before the first "." of the path; without any
    // ".", codec_changed_n.mp4 or connection_lost_n.avi.
    static std::string FollowOnFileName(const std::string& base, SplitKind kind, int n);

    FFFileSink() = default;
    // Does not finish the file: the owner calls StopWriteThread first. A
    // write thread left running is only waited for, so it never outlives
    // the sink.
    ~FFFileSink() override;
    FFFileSink(const FFFileSink&) = delete;
    FFFileSink& operator=(const FFFileSink&) = delete;

    // Queues the record; Full while more than kQueueLimit are waiting.
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    // Drops the queue and any pending file name; the open file stays open.
    void Flush() override;

    // The file to write next; while recording, a split at the next key packet.
    void SetNextFileName(const std::string& name);
    // Starts the write thread when a file name is set and it is not running.
    void StartWriteThread();
    // Ends the write thread, writes out what is queued, closes the file.
    void StopWriteThread();
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

    // Seconds of source time of the current file's first key packet; -1 while
    // searching for one.
    double _FirstTS() const { return _firstTS; }
    // The current writer (may be closed), or null.
    const FFFile* _CurrentFile() const { return _file.get(); }

    // One drain of the queue into the file; the write thread's unit of work.
    void _WriteQueueToFile();

private:
    void _WriteFileThread();
    void _WritePacketRecord(const std::shared_ptr<FFPacket>& packet);
    void _ConnectionChanged(const FFConnectionInfo& info);
    void _CodecChanged();
    void _ReuseCurrentFile();
    void _PrepareFile(std::shared_ptr<FFAVCodec> codec);
    void _PrepareFile(std::shared_ptr<FFCodecInfo> video);
    void _InstallPreparedFile(std::unique_ptr<FFFile> file, int status);
    void _FinishFile();
    void _SplitIfPending(const FFPacket& packet);
    bool _WriteVideo(const std::shared_ptr<FFPacket>& packet);
    void _WriteAudio(const FFPacket& packet);
    AVPacketPtr _Retimed(const FFPacket& packet, int streamIndex, int64_t firstPts);
    int64_t _GetVideoFirstPts();
    int64_t _GetAudioFirstPts();
    void _CodecFileSplit();
    void _ConnectionFileSplit();
    std::string _SplitName(int& counter, SplitKind kind);
    void _DiscardQueue();

    std::atomic<bool> _running{false};
    // A write failed and was reported: nothing more goes into the files
    // until the write thread is started again.
    std::atomic<bool> _writeFailed{false};
    thread<FFFileSink> _writeThread;
    std::atomic<std::thread::id> _writeThreadId{};
    std::recursive_mutex _queueLock;
    std::deque<std::shared_ptr<FFData>> _queue;
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
};

} // namespace Quillet

#include "record/FFFileSink.h"

#include "core/CallScope.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "events/FFEventArgs.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
}

namespace Quillet {
namespace {

constexpr auto kDrainPeriod = std::chrono::milliseconds(100);
const char* const kThreadName = "FFFileSink::_WriteFileThread";

} // namespace

FFFileSink::~FFFileSink()
{
    // The owner stops the thread first; if it did not, wait for it rather
    // than let it run on into a destroyed sink.
    if (_writeThread.IsStarted()) {
        _running = false;
        _WakeWriter();
        _writeThread.Join();
    }
}

FFStatus FFFileSink::FFProcess(std::shared_ptr<FFData> record)
{
    const bool ends = record && record->GetType() == FFType::EOSInfo;
    size_t queued = 0;
    double lostSeconds = -1.0;
    {
        std::lock_guard<std::recursive_mutex> guard(_queueLock);
        if (!record || _backlog.Admit(*record, _queue, lostSeconds))
            _queue.push_back(std::move(record));
        queued = _queue.size();
    }
    if (lostSeconds >= 0.0)
        _ReportFellBehind(lostSeconds);
    if (ends || queued >= kWakeThreshold)
        _WakeWriter();
    if (queued > kQueueLimit) {
        LogWarn() << "File sink is accumulating AV packets without writing to file: " << queued;
        return FFStatus::Full;
    }
    return FFStatus::Ready;
}

void FFFileSink::_WakeWriter()
{
    {
        std::lock_guard<std::mutex> guard(_wakeLock);
        _wakeRequested = true;
    }
    _wake.notify_one();
}

void FFFileSink::_WaitForWork()
{
    std::unique_lock<std::mutex> lock(_wakeLock);
    _wake.wait_for(lock, kDrainPeriod, [this] { return _wakeRequested || !_running; });
    _wakeRequested = false;
}

void FFFileSink::Flush()
{
    LogInfo() << "FFFileSink::Flush";
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        _nextFile.clear();
    }
    _DiscardQueue();
}

void FFFileSink::_DiscardQueue()
{
    std::lock_guard<std::recursive_mutex> guard(_queueLock);
    _queue.clear();
    _backlog.Taken();
}

void FFFileSink::_ReportFellBehind(double lostSeconds)
{
    // Not through the error path: that stops the recording, and this one
    // goes on from the key picture that has just arrived.
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", lostSeconds);
    LogError() << "Recording fell behind: " << seconds << " s lost (the disk did not keep up)";
    FFMessageArgs args(FFMessageType::RecordingFellBehind);
    RaiseEvent(args);
}

void FFFileSink::SetNextFileName(const std::string& name)
{
    LogInfo() << "FFFileSink::SetNextFileName" << ": " << name;
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    _codecSplitCount = 0;
    _connectionSplitCount = 0;
    _splitBaseName.clear();
    const std::string first = _FirstName(name);
    // No picture in the file yet: it becomes the new file rather than being
    // left behind empty.
    if (_file && _file->IsOpen() && !_fileStarted && _heldPackets.empty()) {
        try {
            _file->Rename(first, !_MayReplace(first));
            _nextFile.clear();
            return;
        } catch (const std::exception& e) {
            LogWarn() << e.what();
        }
    }
    _nextFile = first;
}

void FFFileSink::SetRecordingOptions(const RecordingOptions& options)
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    _options = options;
    _guard.SetMinimum(options.minFreeBytes);
    _retention.Configure(options.keepBytes, options.keepSeconds);
}

void FFFileSink::StartWriteThread()
{
    LogInfo() << "FFFileSink::StartWriteThread";
    bool haveName;
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        haveName = !_nextFile.empty();
    }
    if (_running || !haveName)
        return;
    LogInfo() << "Starting file write thread.";
    _writeFailed = false;
    _running = true;
    ++_generation;
    try {
        _writeThread.Start(this, &FFFileSink::_WriteFileThread, _messenger);
    } catch (...) {
        _running = false;
        throw;
    }
}

void FFFileSink::RequestStop()
{
    if (!_running)
        return;
    LogInfo() << "Stopping file write thread";
    _running = false;
    _WakeWriter();
}

bool FFFileSink::StopWriteThread()
{
    LogInfo() << "FFFileSink::StopWriteThread";
    RequestStop();
    // A write that blocks is waited out: letting the thread go on alone
    // would leave it writing into a sink its owner is about to reuse or
    // destroy. On the write thread itself (a handler between two passes)
    // nothing is being written: the file is finished here and the thread
    // ends when the handler returns.
    const bool ended = _writeThread.Join();
    if (ended)
        LogInfo() << "Stopped waiting for file write thread";
    Finish();
    _DiscardQueue();
    return ended;
}

void FFFileSink::Finish()
{
    LogInfo() << "FFFileSink::Finish";
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (!_file)
        return;
    // After a failed write what is queued belongs to a file that could not
    // be made; the current file ends where the failure stopped it.
    if (!_writeFailed) {
        try {
            _WriteQueueToFile();
        } catch (const std::exception& e) {
            // Reached from the engine's threads too: the failure must still
            // reach the application, and the file still be closed.
            _writeFailed = true;
            ReportError("FFFileSink::Finish", e, FFMessageType::FileSinkError);
        }
    }
    // The drain may itself have met an end of stream and closed the file.
    if (!_file)
        return;
    LogInfo() << "Closing file.";
    _FinishFile();
    _file.reset();
    _heldPackets.clear();
    _heldAudio.clear();
    _firstTS = -1.0;
    _fileStarted = false;
}

bool FFFileSink::IsVideoSave(bool* pending)
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    const bool writing = IsWriting();
    const bool waiting = !_nextFile.empty();
    if (pending)
        *pending = waiting;
    LogInfo() << "FFFileSink::IsVideoSave" << ": " << (writing ? 1 : 0) << " - pending: " << (waiting ? 1 : 0);
    return writing;
}

bool FFFileSink::IsWriting()
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    return _file && _file->IsOpen();
}

void FFFileSink::_WritingFirstPacket(const FFPacket&) {}
void FFFileSink::_WritingPacket(const FFPacket&) {}
void FFFileSink::_WroteLastPacket(const FFPacket&) {}

void FFFileSink::_WriteFileThread()
{
    LogInfo() << kThreadName;
    const uint64_t generation = _generation;
    try {
        while (_running && generation == _generation) {
            _WriteQueueToFile();
            _WaitForWork();
        }
    } catch (const std::exception& e) {
        _writeFailed = true;
        ReportError(kThreadName, e, FFMessageType::FileSinkError);
    }
    LogInfo() << "Exiting " << kThreadName;
}

void FFFileSink::_WriteQueueToFile()
{
    std::deque<std::shared_ptr<FFData>> batch;
    {
        std::lock_guard<std::recursive_mutex> guard(_queueLock);
        batch.swap(_queue);
        _backlog.Taken();
    }
    for (auto& record : batch) {
        // Events of this record (a sync point, the end of a file) reach their
        // handlers once it is written, before the next one, with no lock held
        // (unless a caller holds one: then when it lets go). A split asked
        // there applies from the next record on.
        CallScope scope;
        if (!record)
            continue;
        switch (record->GetType()) {
        case FFType::Packet:
            _WritePacketRecord(std::static_pointer_cast<FFPacket>(record));
            break;
        case FFType::CodecInfo: {
            LogInfo() << "Codecinfo arrived";
            auto info = std::static_pointer_cast<FFCodecInfo>(record);
            _CodecChanged();
            if (info->GetStreamType() == FFStreamType::Video) {
                _PrepareFile(info);
            } else {
                std::lock_guard<std::recursive_mutex> guard(_fileLock);
                _pendingAudioCodec = info;
            }
            break;
        }
        case FFType::SeekInfo:
            break;
        case FFType::EOSInfo:
            LogInfo() << "FFFileSink::_WriteQueueToFile" << ": End of stream";
            Finish();
            return; // what followed the end in this batch is discarded
        case FFType::AVCodec:
            _CodecChanged();
            _PrepareFile(std::static_pointer_cast<FFAVCodec>(record));
            break;
        case FFType::ConnectionInfo:
            _ConnectionChanged(static_cast<const FFConnectionInfo&>(*record));
            break;
        default:
            throw std::runtime_error("Wrong FFType");
        }
    }
}

void FFFileSink::_WritePacketRecord(const std::shared_ptr<FFPacket>& packet)
{
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        if (!_file || !packet->Get())
            return;
    }
    switch (packet->GetStreamType()) {
    case FFStreamType::Video:
        if (_WriteVideo(packet)) {
            std::lock_guard<std::recursive_mutex> guard(_fileLock);
            _lastWrittenVideo = packet;
        }
        break;
    case FFStreamType::Audio:
        _WriteAudio(packet);
        break;
    default:
        break;
    }
}

void FFFileSink::_ConnectionChanged(const FFConnectionInfo& info)
{
    LogInfo() << "FFFileSink::_WriteQueueToFile" << ": Connection status changed to "
              << static_cast<int>(info.status);
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (info.status == ConnectionStatus::ConnectionLost) {
        if (!IsWriting())
            LogInfo() << "\t... not writing to a file --> no split";
        else if (!_lastWrittenVideo)
            _ReuseCurrentFile();
        else
            _ConnectionFileSplit();
    } else if (info.status == ConnectionStatus::Connected) {
        // Back after a loss with no file open: ask the source for its
        // description again so the next file can be prepared.
        if (!_nextFile.empty() && !_file)
            NotifyNewRecipient();
    }
}

void FFFileSink::_CodecChanged()
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (!IsWriting())
        return;
    if (!_lastWrittenVideo)
        _ReuseCurrentFile();
    else
        _CodecFileSplit();
}

void FFFileSink::_ReuseCurrentFile()
{
    // Nothing of the file would be kept: close it and prepare the same name
    // again rather than leave an empty file behind a follow-on name.
    LogWarn() << "No data written to file - re-use the current file: " << _file->GetFileName();
    _file->Discard();
    _nextFile = _file->GetFileName();
}

void FFFileSink::_PrepareFile(std::shared_ptr<FFAVCodec> codec)
{
    LogInfo() << "FFFileSink::_PrepareFile";
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (_nextFile.empty()) {
        LogInfo() << "_nextFile is empty";
        return;
    }
    LogInfo() << "Preparing: " << _nextFile;
    auto file = _NewFile(_nextFile);
    int status = -1;
    try {
        status = file->PrepareFile(_nextFile, std::move(codec));
    } catch (const std::exception&) {
        // A file that could not even take its header is no recording.
        file->Discard();
        throw;
    }
    _nextFile.clear();
    _InstallPreparedFile(std::move(file), status);
}

void FFFileSink::_PrepareFile(std::shared_ptr<FFCodecInfo> video)
{
    // A video description alone keeps the audio of the file it follows, or
    // takes the audio description waiting for this split.
    std::shared_ptr<FFCodecInfo> audio;
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        if (_pendingAudioCodec)
            audio = std::move(_pendingAudioCodec);
        else if (_file && _file->GetCodec())
            audio = _file->GetCodec()->audio;
        _pendingAudioCodec.reset();
    }
    _PrepareFile(std::make_shared<FFAVCodec>(std::move(video), std::move(audio)));
}

void FFFileSink::_InstallPreparedFile(std::unique_ptr<FFFile> file, int status)
{
    if (status < 0) {
        LogInfo() << "Failed preparing file: " << status;
        return;
    }
    if (_file) {
        LogInfo() << "Finishing previous file";
        _FinishFile();
        LogInfo() << "Done Finishing previous file";
    }
    _firstTS = -1.0;
    _fileStarted = false;
    _heldPackets.clear();
    _heldAudio.clear();
    _file = std::move(file);
}

void FFFileSink::_FinishFile()
{
    LogInfo() << "FFFileSink::_FinishFile";
    const bool hadPictures = _lastWrittenVideo != nullptr;
    if (_lastWrittenVideo) {
        _WroteLastPacket(*_lastWrittenVideo);
        _lastWrittenVideo.reset();
    }
    if (!_file)
        return;
    const bool wasOpen = _file->IsOpen();
    _file->Finish();
    if (wasOpen && hadPictures)
        _SegmentFinished(_file->GetFileName());
}

void FFFileSink::_SplitIfPending(const FFPacket& packet)
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (_nextFile.empty())
        return;
    const AVPacket* p = packet.Get();
    LogInfo() << "Splitting: searching for kf ... PTS: " << p->pts << " - DTS: " << p->dts << " - Flags: " << p->flags;
    if (!IsCleanKey(*p) || !_file || !_file->GetCodec())
        return;
    auto codec = _file->GetCodec();
    if (_pendingAudioCodec) {
        codec = std::make_shared<FFAVCodec>(codec->video, std::move(_pendingAudioCodec));
        _pendingAudioCodec.reset();
    }
    _PrepareFile(std::move(codec));
}

bool FFFileSink::_WriteVideo(const std::shared_ptr<FFPacket>& packet)
{
    _RequestSegmentIfDue(*packet);
    _SplitIfPending(*packet);
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        // A writer closed by a connection loss waits for its follow-on file.
        if (!_file || !_file->IsOpen())
            return false;
    }
    if (!_fileStarted && !_StartFile(packet))
        return false;
    _WritingPacket(*packet);
    return _WriteRetimed(*packet, AV_NOPTS_VALUE);
}

bool FFFileSink::_StartFile(const std::shared_ptr<FFPacket>& packet)
{
    const AVPacket* p = packet->Get();
    LogDebug() << "Searching for kf ... PTS: " << p->pts << " - DTS: " << p->dts << " - Flags: " << p->flags;
    if (_heldPackets.empty()) {
        if (!IsCleanKey(*p) || (p->dts == AV_NOPTS_VALUE && p->pts == AV_NOPTS_VALUE))
            return false;
        if (p->dts != AV_NOPTS_VALUE) {
            _StartFileAt(*packet, p->dts);
            return true;
        }
        // Demuxers leave the first decode times of a B-frame stream open;
        // the first packet that has one tells those before it.
        _heldPackets.push_back(packet);
        return false;
    }
    if (p->dts == AV_NOPTS_VALUE && _heldPackets.size() < kMaxHeldPackets) {
        _heldPackets.push_back(packet);
        return false;
    }
    const auto held = std::move(_heldPackets);
    const auto heldAudio = std::move(_heldAudio);
    _heldPackets.clear();
    _heldAudio.clear();
    const AVPacket* key = held.front()->Get();
    // One frame apart, the last one frame before this packet.
    const int64_t step = p->duration > 0 ? p->duration : std::max<int64_t>(key->duration, 1);
    int64_t dts = key->pts;
    if (p->dts != AV_NOPTS_VALUE)
        dts = std::min(dts, p->dts - step * static_cast<int64_t>(held.size()));
    _StartFileAt(*held.front(), dts);
    for (const auto& h : held) {
        _WritingPacket(*h);
        if (!_WriteRetimed(*h, dts))
            return false;
        dts += step;
    }
    for (const auto& a : heldAudio)
        _WriteAudio(a);
    return true;
}

void FFFileSink::_StartFileAt(const FFPacket& packet, int64_t startDts)
{
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        const AVRational tb = _file->GetCodec()->video->TimeBase();
        // The file's zero: the key packet's decode time lands exactly on it.
        _firstDts = startDts;
        _firstTS = static_cast<double>(startDts) * tb.num / tb.den;
        _fileStarted = true;
        _segmentTicks = 0;
        _lastSegmentDts = startDts;
    }
    LogDebug() << "First TS: " << _firstTS;
    _WritingFirstPacket(packet);
}

bool FFFileSink::_WriteRetimed(const FFPacket& packet, int64_t dts)
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    _GuardFreeSpace();
    if (!_file || !_file->IsOpen())
        return false;
    AVPacketPtr out = _Retimed(packet, 0, _GetVideoFirstPts(), dts);
    _CountSegmentTime(dts != AV_NOPTS_VALUE ? dts : packet.Get()->dts);
    _file->WriteVideoPacket(out.get());
    return true;
}

void FFFileSink::_WriteAudio(const std::shared_ptr<FFPacket>& packet)
{
    const AVPacket* p = packet->Get();
    {
        std::lock_guard<std::recursive_mutex> guard(_fileLock);
        if (_pendingAudioCodec) {
            LogDebug() << "Ignoring audio packets --  PTS: " << p->pts << " - DTS: " << p->dts
                       << " - Flags: " << p->flags;
            return;
        }
    }
    if (!_fileStarted) {
        // Sound after the held key picture may still belong to the file:
        // its start is known once a decode time comes.
        if (!_heldPackets.empty() && _heldAudio.size() < kMaxHeldAudio)
            _heldAudio.push_back(packet);
        else
            LogDebug() << "Searching ... (audio) PTS: " << p->pts << " - DTS: " << p->dts << " - Flags: " << p->flags;
        return;
    }
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (!_file || !_file->IsOpen() || !_file->GetCodec() || !_file->GetCodec()->audio)
        return; // the file was prepared without an audio stream
    AVPacketPtr out = _Retimed(*packet, 1, _GetAudioFirstPts());
    // Sound that arrives after the first picture but belongs before it would
    // make the muxer shift the whole file off zero.
    const int64_t start = out->dts != AV_NOPTS_VALUE ? out->dts : out->pts;
    if (start != AV_NOPTS_VALUE && start < 0) {
        LogDebug() << "Searching ... (audio) PTS: " << p->pts << " - DTS: " << p->dts << " - Flags: " << p->flags;
        return;
    }
    _file->WriteAudioPacket(out.get());
}

AVPacketPtr FFFileSink::_Retimed(const FFPacket& packet, int streamIndex, int64_t firstPts, int64_t dts)
{
    // Shares the source buffer: the record keeps it alive until the write
    // returns, and the muxer takes its own reference when it must hold on.
    const AVPacket* src = packet.Get();
    AVPacketPtr out = MakePacket();
    if (src->buf) {
        out->buf = av_buffer_ref(src->buf);
        if (!out->buf)
            throw std::bad_alloc();
    }
    out->data = src->data;
    out->size = src->size;
    out->flags = src->flags;
    out->duration = src->duration;
    out->stream_index = streamIndex;
    out->pts = src->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : src->pts - firstPts;
    if (dts == AV_NOPTS_VALUE)
        dts = src->dts;
    out->dts = dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : dts - firstPts;
    return out;
}

int64_t FFFileSink::_GetVideoFirstPts()
{
    if (!_fileStarted) {
        LogInfo() << "_GetVideoFirstPts() called with invalid _firstTS";
        return 0;
    }
    // The key packet's own decode time, so that it lands exactly on zero; a
    // round trip through seconds could leave it one tick late.
    return _firstDts;
}

int64_t FFFileSink::_GetAudioFirstPts()
{
    if (!_fileStarted) {
        LogInfo() << "_GetAudioFirstPts() called with invalid _firstTS";
        return 0;
    }
    const auto codec = _file->GetCodec();
    return av_rescale_q(_firstDts, codec->video->TimeBase(), codec->audio->TimeBase());
}

} // namespace Quillet

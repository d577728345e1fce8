// The recording sink's file naming, segmenting, retention and free-space
// guard: the decisions about which file comes next and when.
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "record/FFFileSink.h"

namespace Quillet {
namespace {

// Decode-time steps longer than this are a timestamp jump, not media time.
constexpr double kLargestStepSeconds = 10.0;

bool HasExtension(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return path.find('.', slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
}

} // namespace

std::string FFFileSink::FollowOnFileName(const std::string& base, SplitKind kind, int n)
{
    // The marker goes into the file name, so the follow-on file stays in the
    // folder and keeps the extension that chose the container.
    const bool codec = kind == SplitKind::CodecChange;
    return FileNaming::WithMarker(base, (codec ? "_#" : "_%") + std::to_string(n));
}

std::string FFFileSink::_FirstName(const std::string& name)
{
    _recordingName = name;
    _fileCount = 1;
    _retention.Clear();
    if (_options.namePattern.empty())
        return name;
    return FileNaming::FromPattern(_options.namePattern, FileNaming::Folder(name), _Now(), 1, name);
}

std::time_t FFFileSink::_Now() const
{
    return std::time(nullptr);
}

bool FFFileSink::_MayReplace(const std::string& name) const
{
    // Only the name the application gave, never one made up here, and never
    // the file still being written.
    return _options.namePattern.empty() && name == _recordingName &&
           !(_file && _file->IsOpen() && _file->GetFileName() == name);
}

std::string FFFileSink::_PatternName()
{
    const int n = ++_fileCount;
    std::string name;
    if (_options.namePattern.empty())
        name = FileNaming::WithMarker(_recordingName, "_" + std::to_string(n));
    else
        name = FileNaming::FromPattern(_options.namePattern, FileNaming::Folder(_recordingName), _Now(), n,
                                       _recordingName);
    // A name that repeats (a pattern without {n} within a second, a clock
    // set back) is numbered when the file is created: see _NewFile.
    return name;
}

std::string FFFileSink::_SplitName(int& counter, SplitKind kind)
{
    if (!_options.namePattern.empty())
        return _PatternName();
    // Each kind numbers from the base captured at its own first split, so
    // its markers do not pile up; the other kind's markers may be in it.
    if (counter == 0)
        _splitBaseName = _file ? _file->GetFileName() : std::string();
    return FollowOnFileName(_splitBaseName, kind, ++counter);
}

void FFFileSink::_CodecFileSplit()
{
    LogInfo() << "FFFileSink::_CodecFileSplit";
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (_nextFile.empty())
        _nextFile = _SplitName(_codecSplitCount, SplitKind::CodecChange);
}

void FFFileSink::_ConnectionFileSplit()
{
    LogInfo() << "FFFileSink::_ConnectionFileSplit";
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    if (_nextFile.empty())
        _nextFile = _SplitName(_connectionSplitCount, SplitKind::ConnectionLoss);
    _FinishFile();
    _heldPackets.clear();
    _heldAudio.clear();
    _firstTS = -1.0;
    _fileStarted = false;
}

std::unique_ptr<FFFile> FFFileSink::_NewFile(const std::string& name)
{
    if (_guard.IsLow(name, 0))
        throw std::runtime_error("disk full: not starting " + name);
    FileLayout layout = _options.layout;
    // A name without an extension keeps the container of the file before.
    if (layout.format.empty() && !HasExtension(name) && _file && !_file->FormatName().empty())
        layout.format = _file->FormatName();
    layout.keepExisting = !_MayReplace(name);
    auto file = std::make_unique<FFFile>(layout);
    file->SetMessenger(_messenger);
    _guard.Reset();
    return file;
}

void FFFileSink::_CountSegmentTime(int64_t dts)
{
    if (dts == AV_NOPTS_VALUE)
        return;
    if (_lastSegmentDts != AV_NOPTS_VALUE && dts > _lastSegmentDts) {
        const AVRational tb = _file->GetCodec()->video->TimeBase();
        const int64_t step = dts - _lastSegmentDts;
        if (static_cast<double>(step) * tb.num / tb.den < kLargestStepSeconds)
            _segmentTicks += step;
    }
    _lastSegmentDts = dts;
}

void FFFileSink::_RequestSegmentIfDue(const FFPacket& packet)
{
    std::lock_guard<std::recursive_mutex> guard(_fileLock);
    const AVPacket* p = packet.Get();
    if (_options.segmentSeconds <= 0 || !_fileStarted || !_nextFile.empty() || !IsCleanKey(*p) || !_file ||
        !_file->IsOpen() || p->dts == AV_NOPTS_VALUE || _lastSegmentDts == AV_NOPTS_VALUE)
        return;
    const AVRational tb = _file->GetCodec()->video->TimeBase();
    const int64_t step = p->dts > _lastSegmentDts ? p->dts - _lastSegmentDts : 0;
    const double seconds = static_cast<double>(_segmentTicks + step) * tb.num / tb.den;
    if (seconds + 1e-3 >= _options.segmentSeconds)
        _nextFile = _PatternName();
}

void FFFileSink::_GuardFreeSpace()
{
    if (!_file || !_file->IsOpen() || !_guard.IsLow(_file->GetFileName(), _file->BytesWritten()))
        return;
    const std::string name = _file->GetFileName();
    // A file that has only its header (the guard tripped on a new segment's
    // first picture) would not play: it goes.
    const bool empty = !_fileStarted || !_file->HasVideo();
    // Finished while there is room for its end, so the file stays whole.
    _FinishFile();
    if (empty)
        std::remove(name.c_str());
    _heldPackets.clear();
    _heldAudio.clear();
    _fileStarted = false;
    _nextFile.clear();
    _writeFailed = true;
    throw std::runtime_error("disk full: stopped recording " + name);
}

void FFFileSink::_SegmentFinished(const std::string& path)
{
    const std::time_t now = _Now();
    _retention.Finished(path, now);
    const int deleted = _retention.Enforce(now);
    if (deleted > 0)
        LogInfo() << "Retention deleted " << deleted << " old segment(s)";
}

} // namespace Quillet

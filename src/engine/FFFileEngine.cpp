#include "engine/FFFileEngine.h"
#include "engine/EngineLock.h"

namespace Quillet {

using Lock = EngineLock;

FFFileEngine::FFFileEngine(const std::string& log, SyncingFileSink::WallClock clock)
    : FFEngine(log), _fileSink(std::move(clock))
{
    _fileSink.SetMessenger(this);
}

FFFileEngine::~FFFileEngine()
{
    // The sink goes before the engine part: no close job may still use it.
    ShutDownCloseWorker();
    {
        Lock lock(_mutex);
        if (_source)
            _source->RemoveNode(&_fileSink);
    }
    // Joined with no lock held.
    _fileSink.StopWriteThread();
    _fileSink.DisconnectFromSource();
}

void FFFileEngine::RequestShutdown()
{
    FFEngine::RequestShutdown();
    _fileSink.RequestStop();
}

void FFFileEngine::SetRecordingOptions(const RecordingOptions& options)
{
    _fileSink.SetRecordingOptions(options);
}

void FFFileEngine::SaveToVideoFile(const std::string& fileName)
{
    LogInfo() << "FFFileEngine::SaveToVideoFile" << ": " << fileName;
    try {
        _SaveToVideoFile(fileName);
    } catch (const std::exception& e) {
        LogFailure("FFFileEngine::SaveToVideoFile", e);
    }
}

void FFFileEngine::_SaveToVideoFile(const std::string& fileName)
{
    Lock lock(_mutex);
    _fileSink.SetNextFileName(fileName);
    if (IsEngineRunning())
        _fileSink.StartWriteThread();
    LogInfo() << "Connecting FFSource to FFFileSink";
    if (_source)
        _source->ConnectNode(&_fileSink);
}

void FFFileEngine::SplitFile(const std::string& newFile)
{
    LogInfo() << "FFFileEngine::SplitFile" << ": " << newFile;
    try {
        Lock lock(_mutex);
        _fileSink.SetNextFileName(newFile);
    } catch (const std::exception& e) {
        LogFailure("FFFileEngine::SplitFile", e);
    }
}

void FFFileEngine::StopVideoSave()
{
    LogInfo() << "FFFileEngine::StopVideoSave";
    try {
        _StopVideoSave();
    } catch (const std::exception& e) {
        LogFailure("FFFileEngine::StopVideoSave", e);
    }
}

void FFFileEngine::_StopVideoSave()
{
    Lock lock(_mutex);
    LogInfo() << "Disonnecting FFSource from FFFileSink";
    if (_source)
        _source->RemoveNode(&_fileSink);
    // Marked here; the writer is joined and the file finished once every
    // lock is let go (the writer's handlers may need them). From a handler
    // on the writer itself the file is finished there and the thread ends
    // when the handler returns.
    _fileSink.RequestStop();
    CallScope::AfterLocks([this] {
        _fileSink.StopWriteThread();
        Lock lock(_mutex);
        _fileSink.DisconnectFromSource();
    });
}

bool FFFileEngine::IsVideoSave(bool* pending) const
{
    try {
        Lock lock(_mutex);
        return _fileSink.IsVideoSave(pending);
    } catch (const std::exception& e) {
        LogFailure("FFFileEngine::IsVideoSave", e);
        return false;
    }
}

void FFFileEngine::_StartEngine()
{
    Lock lock(_mutex);
    bool pending = false;
    if (!_fileSink.IsVideoSave(&pending) && pending) {
        LogInfo() << "Connecting FFSource to FFFileSink in _StartEngine";
        if (_source)
            _source->ConnectNode(&_fileSink);
    }
    FFEngine::_StartEngine();
    _fileSink.StartWriteThread();
}

void FFFileEngine::_StopEngine()
{
    Lock lock(_mutex);
    FFEngine::_StopEngine();
    _fileSink.RequestStop();
    CallScope::AfterLocks([this] { _fileSink.StopWriteThread(); });
}

void FFFileEngine::Error(const std::string& where, const std::exception& e, FFMessageType message)
{
    FFEngine::Error(where, e, message);
    try {
        if (message == FFMessageType::FileSinkError) {
            LogError() << "Severe error in file write";
            ScheduleOnCloseWorker([this] { StopVideoSave(); });
        }
    } catch (const std::exception& inner) {
        LogFailure("FFFileEngine::Error", inner);
    }
}

} // namespace Quillet

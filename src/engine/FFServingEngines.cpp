// The two serving engines share their client handling; only the queue kind
// and what else the source feeds differ.
#include "engine/FFFileServerEngine.h"
#include "engine/FFPlayServerEngine.h"

#include "core/FFError.h"

namespace Quillet {

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {
constexpr unsigned int kDefaultBatch = 30;
}

// ---- FFPlayServerEngine -----------------------------------------------------

FFPlayServerEngine::FFPlayServerEngine(const std::string& log)
    : FFEngine(log), _serializeHelper(std::make_unique<FFSerializeHelper>(this))
{
    _serializeHelper->SetNumberOutgoingPackets(kDefaultBatch);
}

FFPlayServerEngine::~FFPlayServerEngine()
{
    ShutDownCloseWorker();
    Lock lock(_mutex);
    if (_source)
        _source->StopReadThread();
    _serializeHelper.reset();
}

void FFPlayServerEngine::SetSource(const std::string& url)
{
    LogInfo() << "FFPlayServerEngine::SetSource" << ": " << url;
    Lock lock(_mutex);
    _url = url;
}

std::shared_ptr<FFOutgoing> FFPlayServerEngine::AddClient()
{
    LogInfo() << "FFPlayServerEngine::AddClient";
    try {
        Lock lock(_mutex);
        if (!_OpenSource())
            throw FFError("Source could not be opened");
        return _serializeHelper->AddClient<FFPlayOutgoing>(_source.get());
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFPlayServerEngine::AddClient", e);
        return nullptr;
    }
}

void FFPlayServerEngine::RemoveClient(FFOutgoing* client)
{
    LogInfo() << "FFPlayServerEngine::RemoveClient";
    try {
        Lock lock(_mutex);
        _serializeHelper->RemoveClient(client, _source.get());
        if (!_serializeHelper->HasClients())
            _CloseSourceIfUnused();
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFPlayServerEngine::RemoveClient", e);
    }
}

void FFPlayServerEngine::SetNumberOutgoingPackets(unsigned int count)
{
    LogInfo() << "FFPlayServerEngine::SetNumberOutgoingPackets";
    try {
        Lock lock(_mutex);
        _serializeHelper->SetNumberOutgoingPackets(count);
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFPlayServerEngine::SetNumberOutgoingPackets", e);
    }
}

unsigned int FFPlayServerEngine::GetNumberOutgoingPackets()
{
    LogInfo() << "FFPlayServerEngine::GetNumberOutgoingPackets";
    try {
        Lock lock(_mutex);
        return _serializeHelper->GetNumberOutgoingPackets();
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFPlayServerEngine::GetNumberOutgoingPackets", e);
        return 1;
    }
}

void FFPlayServerEngine::_Flush()
{
    Lock lock(_mutex);
    _serializeHelper->Flush();
}

void FFPlayServerEngine::_Seek(double seconds)
{
    // Clients must not receive packets from before the new position. The
    // lock keeps the client list still: the facade's seek and its client
    // calls run under different monitors.
    Lock lock(_mutex);
    _serializeHelper->Flush();
    if (_source)
        _source->Seek(seconds);
    else
        LogInfo() << "Unable to seek: decoder not ready";
}

// ---- FFFileServerEngine -----------------------------------------------------

FFFileServerEngine::FFFileServerEngine(const std::string& log)
    : FFFileEngine(log), _serializeHelper(std::make_unique<FFSerializeHelper>(this))
{
    _serializeHelper->SetNumberOutgoingPackets(kDefaultBatch);
}

FFFileServerEngine::~FFFileServerEngine()
{
    ShutDownCloseWorker();
    Lock lock(_mutex);
    if (_source)
        _source->StopReadThread();
    _serializeHelper.reset();
}

void FFFileServerEngine::SetSource(const std::string& url)
{
    LogInfo() << "FFFileServerEngine::SetSource" << ": " << url;
    Lock lock(_mutex);
    _url = url;
}

void FFFileServerEngine::SetRTSPSourceSettings(std::shared_ptr<FFSourceSettings> settings)
{
    LogInfo() << "FFFileServerEngine::SetRTSPSourceSettings";
    Lock lock(_mutex);
    _sourceSettings = std::move(settings);
}

std::shared_ptr<FFOutgoing> FFFileServerEngine::AddClient()
{
    LogInfo() << "FFFileServerEngine::AddClient";
    try {
        Lock lock(_mutex);
        if (!_OpenSource())
            throw FFError("Source could not be opened");
        return _serializeHelper->AddClient<FFStreamOutgoing>(_source.get());
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFFileServerEngine::AddClient", e);
        return nullptr;
    }
}

void FFFileServerEngine::RemoveClient(FFOutgoing* client)
{
    LogInfo() << "FFFileServerEngine::RemoveClient";
    try {
        Lock lock(_mutex);
        _serializeHelper->RemoveClient(client, _source.get());
        if (!_serializeHelper->HasClients()) {
            bool pending = false;
            const bool saving = _fileSink.IsVideoSave(&pending);
            if (!(saving && pending))
                _CloseSourceIfUnused();
        }
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFFileServerEngine::RemoveClient", e);
    }
}

void FFFileServerEngine::SetNumberOutgoingPackets(unsigned int count)
{
    LogInfo() << "FFFileServerEngine::SetNumberOutgoingPackets";
    try {
        Lock lock(_mutex);
        _serializeHelper->SetNumberOutgoingPackets(count);
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFFileServerEngine::SetNumberOutgoingPackets", e);
    }
}

unsigned int FFFileServerEngine::GetNumberOutgoingPackets()
{
    LogInfo() << "FFFileServerEngine::GetNumberOutgoingPackets";
    try {
        Lock lock(_mutex);
        return _serializeHelper->GetNumberOutgoingPackets();
    } catch (const std::exception& e) {
        LogErrorPair("Error in: FFFileServerEngine::GetNumberOutgoingPackets", e);
        return 1;
    }
}

void FFFileServerEngine::_Flush()
{
    Lock lock(_mutex);
    _serializeHelper->Flush();
}

void FFFileServerEngine::_SaveToVideoFile(const std::string& fileName)
{
    Lock lock(_mutex);
    _fileSink.SetNextFileName(fileName);
    FFFileEngine::_StartEngine();
    LogInfo() << "Connecting FFSource to FFFileSink";
    if (_source)
        _source->ConnectNode(&_fileSink);
}

void FFFileServerEngine::_StopVideoSave()
{
    Lock lock(_mutex);
    FFFileEngine::_StopVideoSave();
    _CloseSourceIfUnused();
}

} // namespace Quillet

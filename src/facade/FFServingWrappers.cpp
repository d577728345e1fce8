#include "facade/FFServingWrappers.h"

#include <limits>

#include "engine/FFFileServerEngine.h"
#include "engine/FFPlayServerEngine.h"
#include "engine/FFRemoteEngine.h"

namespace Quillet::FFWrapperCLI {

// ---- FFOutgoingWrapper -------------------------------------------------------

void FFOutgoingWrapper::SetOut(Quillet::FFOutgoing* out)
{
    std::lock_guard<std::mutex> guard(_mutex);
    _out = out;
}

std::vector<uint8_t> FFOutgoingWrapper::GetNextPacket()
{
    std::shared_ptr<const Quillet::FFSerializedData> batch;
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_out)
            batch = _out->GetNextPacket();
    }
    if (!batch || batch->size <= 0)
        return {};
    return std::vector<uint8_t>(batch->data.get(), batch->data.get() + batch->size);
}

// ---- FFSerializeWrapper ------------------------------------------------------

FFOutgoingHandle FFSerializeWrapper::AddClient()
{
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    if (!_serializeEngine)
        return nullptr;
    std::shared_ptr<Quillet::FFOutgoing> queue = _serializeEngine->AddClient();
    if (!queue)
        return nullptr;
    // The engine keeps the queue alive until RemoveClient; the handle only points at it.
    auto handle = std::make_shared<FFOutgoingWrapper>(queue.get());
    std::lock_guard<std::mutex> outs(_outsLock);
    _outs.push_back(handle);
    return handle;
}

void FFSerializeWrapper::RemoveClient(const FFOutgoingHandle& client)
{
    if (!client || !client->GetOut())
        return;
    Quillet::FFOutgoing* queue = client->GetOut();
    client->SetOut(nullptr); // forgotten before the queue can go
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        if (_serializeEngine)
            _serializeEngine->RemoveClient(queue);
    }
    std::lock_guard<std::mutex> outs(_outsLock);
    _outs.remove(client);
}

void FFSerializeWrapper::SetNumberOutgoingPackets(unsigned int outgoings)
{
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    if (_serializeEngine)
        _serializeEngine->SetNumberOutgoingPackets(outgoings);
}

unsigned int FFSerializeWrapper::GetNumberOutgoingPackets()
{
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    return _serializeEngine ? _serializeEngine->GetNumberOutgoingPackets() : 0;
}

void FFSerializeWrapper::Cleanup()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        _serializeEngine = nullptr;
    }
    std::lock_guard<std::mutex> outs(_outsLock);
    for (auto& o : _outs)
        o->SetOut(nullptr);
    _outs.clear();
}

// ---- FFFileServerWrapper -----------------------------------------------------

FFFileServerWrapper::FFFileServerWrapper() : FFFileServerWrapper(std::string("FF1")) {}

FFFileServerWrapper::FFFileServerWrapper(const std::string& log)
    : FFFileServerWrapper(new Quillet::FFFileServerEngine(log))
{
}

FFFileServerWrapper::FFFileServerWrapper(Quillet::FFFileServerEngine* engine)
    : FFFileWrapper(engine), _serialize(engine)
{
}

FFFileServerWrapper::~FFFileServerWrapper()
{
    Dispose();
}

Quillet::FFFileServerEngine* FFFileServerWrapper::ServerEngine() const
{
    return static_cast<Quillet::FFFileServerEngine*>(Engine());
}

void FFFileServerWrapper::Dispose()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
        _serialize.Cleanup();
        _DeleteEngine();
    }
    FFFileWrapper::Dispose();
}

void FFFileServerWrapper::SetSource(const std::string& sourceUrl)
{
    lock guard(_mutex);
    if (auto* e = ServerEngine())
        e->SetSource(sourceUrl);
}

void FFFileServerWrapper::SetSourceSettings(const SourceSettings& s)
{
    auto native = std::make_shared<Quillet::FFSourceSettings>();
    native->streamUsingTCP = s.streamUsingTCP;
    native->useTimeFilter = s.useTimeFilter;
    native->useOnlyVideo = s.useOnlyVideo;
    native->requireRTCP = s.requireRTCP;
    native->createTimingLog = s.createTimingLog;
    native->timingLogFolder = s.timingLogFolder;
    native->username = s.username;
    native->password = s.password;
    native->audioLatencyMs = s.audioLatencyMs;
    native->videoLatencyMs = s.videoLatencyMs;
    native->syncShiftMs = s.syncShiftMs;
    native->rtcpTimeoutMs = s.rtcpTimeoutMs;
    native->packetTimeoutMs = s.packetTimeoutMs;
    native->decodingThreads = s.decodingThreads;
    lock guard(_mutex);
    if (auto* e = ServerEngine())
        e->SetRTSPSourceSettings(native);
}

FFOutgoingHandle FFFileServerWrapper::AddClient()
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.AddClient();
}

void FFFileServerWrapper::RemoveClient(const FFOutgoingHandle& client)
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.RemoveClient(client);
}

void FFFileServerWrapper::SetNumberOutgoingPackets(unsigned int outgoings)
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.SetNumberOutgoingPackets(outgoings);
}

unsigned int FFFileServerWrapper::GetNumberOutgoingPackets()
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.GetNumberOutgoingPackets();
}

// ---- FFPlayServerWrapper -----------------------------------------------------

FFPlayServerWrapper::FFPlayServerWrapper() : FFPlayServerWrapper(std::string("FF1")) {}

FFPlayServerWrapper::FFPlayServerWrapper(const std::string& log)
    : FFPlayServerWrapper(new Quillet::FFPlayServerEngine(log))
{
}

FFPlayServerWrapper::FFPlayServerWrapper(Quillet::FFPlayServerEngine* engine) : FFWrapper(engine), _serialize(engine)
{
}

FFPlayServerWrapper::~FFPlayServerWrapper()
{
    Dispose();
}

Quillet::FFPlayServerEngine* FFPlayServerWrapper::ServerEngine() const
{
    return static_cast<Quillet::FFPlayServerEngine*>(Engine());
}

void FFPlayServerWrapper::Dispose()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
        _serialize.Cleanup();
        _DeleteEngine();
    }
    FFWrapper::Dispose();
}

void FFPlayServerWrapper::SetSource(const std::string& sourceUrl)
{
    lock guard(_mutex);
    if (auto* e = ServerEngine())
        e->SetSource(sourceUrl);
}

FFOutgoingHandle FFPlayServerWrapper::AddClient()
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.AddClient();
}

void FFPlayServerWrapper::RemoveClient(const FFOutgoingHandle& client)
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.RemoveClient(client);
}

void FFPlayServerWrapper::SetNumberOutgoingPackets(unsigned int outgoings)
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.SetNumberOutgoingPackets(outgoings);
}

unsigned int FFPlayServerWrapper::GetNumberOutgoingPackets()
{
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.GetNumberOutgoingPackets();
}

// ---- FFRemoteWrapper ---------------------------------------------------------

FFRemoteWrapper::FFRemoteWrapper() : FFRemoteWrapper(std::string("FF1")) {}

FFRemoteWrapper::FFRemoteWrapper(const std::string& log) : FFWrapper(new Quillet::FFRemoteEngine(log)) {}

Quillet::FFRemoteEngine* FFRemoteWrapper::RemoteEngine() const
{
    return static_cast<Quillet::FFRemoteEngine*>(Engine());
}

bool FFRemoteWrapper::WritePacket(const std::vector<uint8_t>& data)
{
    return WritePacket(data.data(), data.size());
}

bool FFRemoteWrapper::WritePacket(const uint8_t* data, size_t size)
{
    if (!data || size == 0 || size > std::numeric_limits<unsigned int>::max())
        return false;
    lock guard(_mutex);
    auto* e = RemoteEngine();
    return e ? e->PushPacketToRemoteSource(data, static_cast<unsigned int>(size)) : false;
}

void FFRemoteWrapper::WaitForSeek()
{
    lock guard(_mutex);
    if (auto* e = RemoteEngine())
        e->WaitForSeek();
}

bool FFRemoteWrapper::WaitForSeek(double seekTo)
{
    lock guard(_mutex);
    auto* e = RemoteEngine();
    return e ? e->WaitForSeek(seekTo) : false;
}

} // namespace Quillet::FFWrapperCLI

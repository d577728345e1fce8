#include "facade/FFServingWrappers.h"

#include <limits>

#include "engine/FFFileServerEngine.h"
#include "engine/FFPlayServerEngine.h"
#include "engine/FFRemoteEngine.h"
#include "facade/FacadeCalls.h"

namespace Quillet::FFWrapperCLI {

using RemoteEngine = Quillet::FFRemoteEngine;
using FileServerEngine = Quillet::FFFileServerEngine;

// ---- FFOutgoingWrapper -------------------------------------------------------

void FFOutgoingWrapper::SetOut(Quillet::FFOutgoing* out)
{
    std::function<void()> notice;
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _out = out;
        if (_out)
            _out->SetArrivalNotice(_notice);
        notice = _notice;
    }
    if (notice)
        notice(); // a waiting reader looks again: the queue changed (no lock held)
}

void FFOutgoingWrapper::SetArrivalNotice(std::function<void()> notice)
{
    std::lock_guard<std::mutex> guard(_mutex);
    _notice = std::move(notice);
    if (_out)
        _out->SetArrivalNotice(_notice);
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

// ---- FFServingWrapper --------------------------------------------------------

template <class Facade, class ServingEngine>
FFServingWrapper<Facade, ServingEngine>::FFServingWrapper(ServingEngine* engine) : Facade(engine), _serialize(engine)
{
}

template <class Facade, class ServingEngine>
FFServingWrapper<Facade, ServingEngine>::~FFServingWrapper()
{
    Dispose();
}

template <class Facade, class ServingEngine>
StopResult FFServingWrapper<Facade, ServingEngine>::Dispose()
{
    {
        Quillet::CallScope scope;
        std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
        _serialize.Cleanup();
    }
    // The engine goes with no lock held: its threads' handlers may call the clients.
    return Facade::Dispose();
}

template <class Facade, class ServingEngine>
void FFServingWrapper<Facade, ServingEngine>::SetSource(const std::string& sourceUrl)
{
    this->template WithEngine<ServingEngine>([&](ServingEngine& e) { e.SetSource(sourceUrl); });
}

template <class Facade, class ServingEngine>
FFOutgoingHandle FFServingWrapper<Facade, ServingEngine>::AddClient()
{
    Quillet::CallScope scope; // what the engine defers runs once the monitor is let go
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.AddClient();
}

template <class Facade, class ServingEngine>
void FFServingWrapper<Facade, ServingEngine>::RemoveClient(const FFOutgoingHandle& client)
{
    Quillet::CallScope scope; // the source's close runs once the monitor is let go
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.RemoveClient(client);
}

template <class Facade, class ServingEngine>
void FFServingWrapper<Facade, ServingEngine>::SetNumberOutgoingPackets(unsigned int outgoings)
{
    Quillet::CallScope scope;
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    _serialize.SetNumberOutgoingPackets(outgoings);
}

template <class Facade, class ServingEngine>
unsigned int FFServingWrapper<Facade, ServingEngine>::GetNumberOutgoingPackets()
{
    Quillet::CallScope scope;
    std::lock_guard<std::recursive_mutex> guard(_serialize.monitor);
    return _serialize.GetNumberOutgoingPackets();
}

template class FFServingWrapper<FFFileWrapper, Quillet::FFFileServerEngine>;
template class FFServingWrapper<FFWrapper, Quillet::FFPlayServerEngine>;

// ---- FFFileServerWrapper -----------------------------------------------------

FFFileServerWrapper::FFFileServerWrapper() : FFFileServerWrapper(std::string("FF1")) {}

FFFileServerWrapper::FFFileServerWrapper(const std::string& log)
    : FFServingWrapper(new Quillet::FFFileServerEngine(log))
{
}

void FFFileServerWrapper::SetSourceSettings(const SourceSettings& s)
{
    auto native = std::make_shared<Quillet::FFSourceSettings>(s);
    WithEngine<FileServerEngine>([&](FileServerEngine& e) { e.SetRTSPSourceSettings(native); });
}

// ---- FFPlayServerWrapper -----------------------------------------------------

FFPlayServerWrapper::FFPlayServerWrapper() : FFPlayServerWrapper(std::string("FF1")) {}

FFPlayServerWrapper::FFPlayServerWrapper(const std::string& log)
    : FFServingWrapper(new Quillet::FFPlayServerEngine(log))
{
}

// ---- FFRemoteWrapper ---------------------------------------------------------

FFRemoteWrapper::FFRemoteWrapper() : FFRemoteWrapper(std::string("FF1")) {}

FFRemoteWrapper::FFRemoteWrapper(const std::string& log) : FFWrapper(new Quillet::FFRemoteEngine(log)) {}

bool FFRemoteWrapper::WritePacket(const std::vector<uint8_t>& data)
{
    return WritePacket(data.data(), data.size());
}

bool FFRemoteWrapper::WritePacket(const uint8_t* data, size_t size)
{
    return Write(data, size) == WriteResult::Taken;
}

FFRemoteWrapper::WriteResult FFRemoteWrapper::Write(const uint8_t* data, size_t size)
{
    if (!data || size == 0 || size > std::numeric_limits<unsigned int>::max())
        return WriteResult::Malformed;
    return WithEngine<RemoteEngine>(WriteResult::Again, [&](RemoteEngine& e) {
        switch (e.PushBlock(data, static_cast<unsigned int>(size))) {
        case RemoteEngine::Block::Taken: return WriteResult::Taken;
        case RemoteEngine::Block::Malformed: return WriteResult::Malformed;
        case RemoteEngine::Block::Again: break;
        }
        return WriteResult::Again;
    });
}

void FFRemoteWrapper::WaitForSeek()
{
    WithEngine<RemoteEngine>([](RemoteEngine& e) { e.WaitForSeek(); });
}

bool FFRemoteWrapper::WaitForSeek(double seekTo)
{
    return WithEngine<RemoteEngine>(false, [seekTo](RemoteEngine& e) { return e.WaitForSeek(seekTo); });
}

} // namespace Quillet::FFWrapperCLI

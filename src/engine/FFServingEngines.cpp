// The two serving engines share their client handling; only the queue kind
// and what else the source feeds differ.
#include "engine/FFFileServerEngine.h"
#include "engine/EngineLock.h"
#include "engine/FFPlayServerEngine.h"

#include "core/UrlForLog.h"
#include "core/FFError.h"

namespace Quillet {

using Lock = EngineLock;

namespace {
constexpr unsigned int kDefaultBatch = 30;
}

// ---- FFServingEngine --------------------------------------------------------

template <class Base, class Queue>
FFServingEngine<Base, Queue>::FFServingEngine(const std::string& log, const char* name)
    : Base(log), _serializeHelper(std::make_unique<FFSerializeHelper>(this)), _name(name)
{
    _serializeHelper->SetNumberOutgoingPackets(kDefaultBatch);
}

template <class Base, class Queue>
FFServingEngine<Base, Queue>::~FFServingEngine()
{
    this->ShutDownCloseWorker();
    std::shared_ptr<IFFSource> source;
    {
        Lock lock(this->_mutex);
        source = this->_source;
        if (source)
            source->RequestStop();
    }
    // Joined with no lock held.
    if (source)
        source->StopReadThread();
    Lock lock(this->_mutex);
    _serializeHelper.reset();
}

template <class Base, class Queue>
void FFServingEngine<Base, Queue>::SetSource(const std::string& url)
{
    this->LogInfo() << _name << "::SetSource" << ": " << UrlForLog(url);
    Lock lock(this->_mutex);
    this->_url = url;
}

template <class Base, class Queue>
std::shared_ptr<FFOutgoing> FFServingEngine<Base, Queue>::AddClient()
{
    this->LogInfo() << _name << "::AddClient";
    try {
        Lock lock(this->_mutex);
        if (!this->_OpenSource())
            throw FFError("Source could not be opened");
        return _serializeHelper->template AddClient<Queue>(this->_source.get());
    } catch (const std::exception& e) {
        this->LogFailure(_name + std::string("::AddClient"), e);
        return nullptr;
    }
}

template <class Base, class Queue>
void FFServingEngine<Base, Queue>::RemoveClient(FFOutgoing* client)
{
    this->LogInfo() << _name << "::RemoveClient";
    try {
        Lock lock(this->_mutex);
        _serializeHelper->RemoveClient(client, this->_source.get());
        if (!_serializeHelper->HasClients() && _MayCloseWithoutClients())
            this->_CloseSourceIfUnused();
    } catch (const std::exception& e) {
        this->LogFailure(_name + std::string("::RemoveClient"), e);
    }
}

template <class Base, class Queue>
void FFServingEngine<Base, Queue>::SetNumberOutgoingPackets(unsigned int count)
{
    this->LogInfo() << _name << "::SetNumberOutgoingPackets";
    try {
        Lock lock(this->_mutex);
        _serializeHelper->SetNumberOutgoingPackets(count);
    } catch (const std::exception& e) {
        this->LogFailure(_name + std::string("::SetNumberOutgoingPackets"), e);
    }
}

template <class Base, class Queue>
unsigned int FFServingEngine<Base, Queue>::GetNumberOutgoingPackets()
{
    this->LogInfo() << _name << "::GetNumberOutgoingPackets";
    try {
        Lock lock(this->_mutex);
        return _serializeHelper->GetNumberOutgoingPackets();
    } catch (const std::exception& e) {
        this->LogFailure(_name + std::string("::GetNumberOutgoingPackets"), e);
        return 1;
    }
}

template <class Base, class Queue>
void FFServingEngine<Base, Queue>::_Flush()
{
    Lock lock(this->_mutex);
    _serializeHelper->Flush();
}

template class FFServingEngine<FFEngine, FFPlayOutgoing>;
template class FFServingEngine<FFFileEngine, FFStreamOutgoing>;

// ---- FFPlayServerEngine -----------------------------------------------------

FFPlayServerEngine::FFPlayServerEngine(const std::string& log) : FFServingEngine(log, "FFPlayServerEngine") {}

bool FFPlayServerEngine::_Seek(double seconds)
{
    // Clients must not receive packets from before the new position. The
    // lock keeps the client list still: the facade's seek and its client
    // calls run under different monitors.
    Lock lock(_mutex);
    _serializeHelper->Flush();
    if (!_source) {
        LogInfo() << "Unable to seek: no source";
        return false;
    }
    _source->Seek(seconds);
    return true;
}

// ---- FFFileServerEngine -----------------------------------------------------

FFFileServerEngine::FFFileServerEngine(const std::string& log) : FFServingEngine(log, "FFFileServerEngine") {}

void FFFileServerEngine::SetRTSPSourceSettings(std::shared_ptr<FFSourceSettings> settings)
{
    LogInfo() << "FFFileServerEngine::SetRTSPSourceSettings";
    Lock lock(_mutex);
    _sourceSettings = std::move(settings);
}

bool FFFileServerEngine::_MayCloseWithoutClients()
{
    bool pending = false;
    const bool saving = _fileSink.IsVideoSave(&pending);
    return !(saving && pending);
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

#include "engine/FFRemoteEngine.h"
#include "engine/EngineLock.h"
#include "core/WireBytes.h"

namespace Quillet {

using Lock = EngineLock;

FFRemoteEngine::FFRemoteEngine(const std::string& log) : FFEngine(log)
{
    _remoteSource.SetMessenger(this);
}

FFRemoteEngine::~FFRemoteEngine()
{
    ShutDownCloseWorker();
    Lock lock(_mutex);
    _remoteSource.DisconnectNode();
}

FFRemoteEngine::Block FFRemoteEngine::PushBlock(const uint8_t* data, unsigned int size)
{
    try {
        Lock lock(_mutex);
        return _remoteSource.Push(data, size) ? Block::Taken : Block::Again;
    } catch (const WireFormatError& e) {
        LogWarn() << "FFRemoteEngine::PushBlock: " << e.what();
        return Block::Malformed;
    } catch (const std::exception& e) {
        LogFailure("FFRemoteEngine::PushBlock", e);
        return Block::Again;
    }
}

bool FFRemoteEngine::WaitForSeek(double seekTo)
{
    try {
        Lock lock(_mutex);
        return _remoteSource.WaitForSeek(seekTo);
    } catch (const std::exception& e) {
        LogFailure("FFRemoteEngine::WaitForSeek", e);
        return false;
    }
}

void FFRemoteEngine::WaitForSeek()
{
    try {
        Lock lock(_mutex);
        _remoteSource.WaitForSeek();
    } catch (const std::exception& e) {
        LogFailure("FFRemoteEngine::WaitForSeek", e);
    }
}

void FFRemoteEngine::_PrepareVideoDecode(int pixelFormat)
{
    Lock lock(_mutex);
    _decode.SetColorSpace(pixelFormat);
    LogInfo() << "Connecting FFRemoteSource to FFDecode";
    _remoteSource.ConnectNode(&_traffic);
    _traffic.ConnectNode(&_decode);
}

bool FFRemoteEngine::_Seek(double seconds)
{
    Lock lock(_mutex);
    _remoteSource.Seek(seconds);
    return true;
}

void FFRemoteEngine::_Flush()
{
    Lock lock(_mutex);
    _decode.Flush();
    _traffic.Flush();
    _remoteSource.Resynchronise();
}

void FFRemoteEngine::_CloseSource()
{
    Lock lock(_mutex);
    FFEngine::_CloseSource();
    _remoteSource.DisconnectNode();
}

} // namespace Quillet

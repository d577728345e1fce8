#include <mutex>

#include "camera/IRTSPClient.h"
#include "camera/RTSPSource.h"

namespace Quillet {
namespace {

std::mutex& FactoryMutex()
{
    static std::mutex mutex;
    return mutex;
}

RTSPClientFactory& InstalledFactory()
{
    static RTSPClientFactory factory;
    return factory;
}

} // namespace

std::unique_ptr<IRTSPClient> MakeRTSPSource()
{
    return std::make_unique<RTSPSource>();
}

std::unique_ptr<IRTSPClient> CreateRTSPClient()
{
    RTSPClientFactory factory;
    {
        std::lock_guard lock(FactoryMutex());
        factory = InstalledFactory();
    }
    return factory ? factory() : MakeRTSPSource();
}

void SetRTSPClientFactory(RTSPClientFactory factory)
{
    std::lock_guard lock(FactoryMutex());
    InstalledFactory() = std::move(factory);
}

} // namespace Quillet

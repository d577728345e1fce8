#pragma once
// Client management of the serving engines, as the serving facades see it.
// Called on the application's thread, under the facade's lock.
#include <memory>

namespace Quillet {

class FFOutgoing;

class IFFSerializeEngine {
public:
    virtual std::shared_ptr<FFOutgoing> AddClient() = 0;
    virtual void RemoveClient(FFOutgoing* client) = 0;
    virtual void SetNumberOutgoingPackets(unsigned int count) = 0;
    virtual unsigned int GetNumberOutgoingPackets() = 0;

protected:
    ~IFFSerializeEngine() = default;
};

} // namespace Quillet

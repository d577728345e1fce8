#pragma once
// The client handling both serving engines share, on top of the engine
// `Base` they build on (FFEngine or FFFileEngine): one serializer behind the
// source and one queue of kind `Queue` per client (see FFSerializeHelper).
// The first client opens the source, the last one leaves it to close when
// nothing else uses it.
//
// Threads and lock order as in FFEngine.h: clients are added and removed on
// the application's thread (through the facade, under its client monitor),
// each operation taking `_mutex`; the source's read thread fills the client
// queues; each client takes its batches on its own thread with only the
// queue's lock.
#include <memory>
#include <string>

#include "engine/FFSerializeHelper.h"
#include "engine/IFFSerializeEngine.h"

namespace Quillet {

template <class Base, class Queue>
class FFServingEngine : public Base, public IFFSerializeEngine {
public:
    // `name` is the concrete engine's, for its log lines.
    FFServingEngine(const std::string& log, const char* name);
    ~FFServingEngine() override;

    // The URL the first client opens.
    void SetSource(const std::string& url);
    std::shared_ptr<FFOutgoing> AddClient() override;
    void RemoveClient(FFOutgoing* client) override;
    void SetNumberOutgoingPackets(unsigned int count) override;
    unsigned int GetNumberOutgoingPackets() override;

protected:
    void _Flush() override;
    // Whether the source may close now that the last client has gone;
    // called with `_mutex` held.
    virtual bool _MayCloseWithoutClients() { return true; }

    // Guarded by `_mutex`.
    std::unique_ptr<FFSerializeHelper> _serializeHelper;

private:
    const char* const _name;
};

} // namespace Quillet

#pragma once
// Serves a played source to any number of clients; every client receives
// every packet (the source waits for the slowest), and seeking flushes them.
// Threads and lock order as in FFEngine.h: clients are added and removed on
// the application's thread under `_mutex`; the source's read thread fills
// the client queues; each client takes its batches on its own thread with
// only the queue's lock.
#include <memory>

#include "engine/FFEngine.h"
#include "engine/FFSerializeHelper.h"
#include "engine/IFFSerializeEngine.h"

namespace Quillet {

class FFPlayServerEngine : public FFEngine, public IFFSerializeEngine {
public:
    explicit FFPlayServerEngine(const std::string& log);
    ~FFPlayServerEngine() override;

    void SetSource(const std::string& url);
    std::shared_ptr<FFOutgoing> AddClient() override;
    void RemoveClient(FFOutgoing* client) override;
    void SetNumberOutgoingPackets(unsigned int count) override;
    unsigned int GetNumberOutgoingPackets() override;

protected:
    void _Flush() override;
    void _Seek(double seconds) override;

private:
    // Guarded by `_mutex`.
    std::unique_ptr<FFSerializeHelper> _serializeHelper;
};

} // namespace Quillet

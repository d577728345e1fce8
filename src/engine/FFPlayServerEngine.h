#pragma once
// Serves a played source to any number of clients; every client receives
// every packet (the source waits for the slowest), and seeking flushes them.
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
    std::unique_ptr<FFSerializeHelper> _serializeHelper;
};

} // namespace Quillet

#pragma once
// Serves a live source to any number of clients while it may also record it.
// A slow client skips ahead to the newest key frame instead of holding the
// camera back. Threads and lock order as in FFPlayServerEngine.h.
#include <memory>

#include "engine/FFFileEngine.h"
#include "engine/FFSerializeHelper.h"
#include "engine/IFFSerializeEngine.h"

namespace Quillet {

class FFFileServerEngine : public FFFileEngine, public IFFSerializeEngine {
public:
    explicit FFFileServerEngine(const std::string& log);
    ~FFFileServerEngine() override;

    void SetSource(const std::string& url);
    void SetRTSPSourceSettings(std::shared_ptr<FFSourceSettings> settings);
    std::shared_ptr<FFOutgoing> AddClient() override;
    void RemoveClient(FFOutgoing* client) override;
    void SetNumberOutgoingPackets(unsigned int count) override;
    unsigned int GetNumberOutgoingPackets() override;

protected:
    void _Flush() override;
    void _SaveToVideoFile(const std::string& fileName) override;
    void _StopVideoSave() override;

private:
    // Guarded by `_mutex`.
    std::unique_ptr<FFSerializeHelper> _serializeHelper;
};

} // namespace Quillet

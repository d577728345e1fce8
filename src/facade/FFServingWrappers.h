#pragma once
// Serving and remote facades: clients pull serialized batches from
// FFOutgoingWrapper handles; a remote player is fed those batches.
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "facade/FFFileWrapper.h"

namespace Quillet {
class FFOutgoing;
class IFFSerializeEngine;
class FFFileServerEngine;
class FFPlayServerEngine;
class FFRemoteEngine;
} // namespace Quillet

namespace Quillet::FFWrapperCLI {

// One client's queue. Safe to use after its facade is gone: it then returns nothing.
class FFOutgoingWrapper {
public:
    explicit FFOutgoingWrapper(Quillet::FFOutgoing* out) : _out(out) {}

    Quillet::FFOutgoing* GetOut() const { return _out; }
    void SetOut(Quillet::FFOutgoing* out);
    // The next batch of serialized records, or an empty vector when none is
    // queued. Never waits.
    std::vector<uint8_t> GetNextPacket();

private:
    std::mutex _mutex;
    Quillet::FFOutgoing* _out;
};

using FFOutgoingHandle = std::shared_ptr<FFOutgoingWrapper>;

class IFFSerializeWrapper {
public:
    virtual ~IFFSerializeWrapper() = default;
    // A new client, or null when the source cannot be opened.
    virtual FFOutgoingHandle AddClient() = 0;
    virtual void RemoveClient(const FFOutgoingHandle& client) = 0;
    virtual void SetNumberOutgoingPackets(unsigned int outgoings) = 0;
    virtual unsigned int GetNumberOutgoingPackets() = 0;
};

// Client handling on top of a serving engine's client management.
class FFSerializeWrapper : public IFFSerializeWrapper {
public:
    explicit FFSerializeWrapper(Quillet::IFFSerializeEngine* engine) : _serializeEngine(engine) {}

    FFOutgoingHandle AddClient() override;
    void RemoveClient(const FFOutgoingHandle& client) override;
    void SetNumberOutgoingPackets(unsigned int outgoings) override;
    unsigned int GetNumberOutgoingPackets() override;
    // Detaches every handle handed out and forgets the engine.
    void Cleanup();

    std::recursive_mutex monitor;

private:
    std::recursive_mutex _mutex;
    Quillet::IFFSerializeEngine* _serializeEngine;
    std::mutex _outsLock;
    std::list<FFOutgoingHandle> _outs;
};

class FFFileServerWrapper : public FFFileWrapper, public IFFSerializeWrapper {
public:
    FFFileServerWrapper();
    explicit FFFileServerWrapper(const std::string& log);
    ~FFFileServerWrapper() override;

    void SetSource(const std::string& sourceUrl);
    void SetSourceSettings(const SourceSettings& sourceSettings);
    FFOutgoingHandle AddClient() override;
    void RemoveClient(const FFOutgoingHandle& client) override;
    void SetNumberOutgoingPackets(unsigned int outgoings) override;
    unsigned int GetNumberOutgoingPackets() override;
    void Dispose() override;

private:
    explicit FFFileServerWrapper(Quillet::FFFileServerEngine* engine);
    Quillet::FFFileServerEngine* ServerEngine() const;
    FFSerializeWrapper _serialize;
};

class FFPlayServerWrapper : public FFWrapper, public IFFSerializeWrapper {
public:
    FFPlayServerWrapper();
    explicit FFPlayServerWrapper(const std::string& log);
    ~FFPlayServerWrapper() override;

    void SetSource(const std::string& sourceUrl);
    FFOutgoingHandle AddClient() override;
    void RemoveClient(const FFOutgoingHandle& client) override;
    void SetNumberOutgoingPackets(unsigned int outgoings) override;
    unsigned int GetNumberOutgoingPackets() override;
    void Dispose() override;

private:
    explicit FFPlayServerWrapper(Quillet::FFPlayServerEngine* engine);
    Quillet::FFPlayServerEngine* ServerEngine() const;
    FFSerializeWrapper _serialize;
};

class FFRemoteWrapper : public FFWrapper {
public:
    FFRemoteWrapper();
    explicit FFRemoteWrapper(const std::string& log);

    // Feeds one block received from a server; false for an empty or malformed block.
    bool WritePacket(const std::vector<uint8_t>& data);
    bool WritePacket(const uint8_t* data, size_t size);
    void WaitForSeek();
    bool WaitForSeek(double seekTo);

private:
    Quillet::FFRemoteEngine* RemoteEngine() const;
};

} // namespace Quillet::FFWrapperCLI

#pragma once
// The client bookkeeping shared by both serving engines: one serializer node
// behind the source and one outgoing queue per client behind it.
// Not thread-safe on its own: its engine calls every operation under the
// engine's `_mutex`, which guards `_outgoings` and the batch size. The
// queues themselves are shared with the clients' threads and lock inside.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "events/FFMessageClient.h"
#include "serialize/FFOutgoing.h"
#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFStreamOutgoing.h"
#include "serialize/FFSerialize.h"
#include "source/IFFSource.h"

namespace Quillet {

class FFSerializeHelper : public FFMessageClient {
public:
    explicit FFSerializeHelper(FFMessenger* messenger)
    {
        SetMessenger(messenger);
        _serializeNode.SetMessenger(messenger);
    }
    ~FFSerializeHelper() override
    {
        _serializeNode.DisconnectNode();
        if (auto* parent = _serializeNode.GetParent())
            parent->RemoveNode(&_serializeNode);
    }

    template <typename Q>
    std::shared_ptr<FFOutgoing> AddClient(IFFSource* source)
    {
        LogInfo() << "FFSerializeHelper::AddClient";
        auto client = std::make_shared<Q>();
        client->SetNumberOutgoingPackets(_numberOutgoingPackets);
        client->SetMessenger(_messenger);
        _outgoings.push_back(client);
        LogInfo() << "Connecting FFSerialize to FFOutgoing";
        _serializeNode.ConnectNode(client.get());
        LogInfo() << "Connecting Source to FFSerialize";
        if (source)
            source->ConnectNode(&_serializeNode);
        return client;
    }

    void RemoveClient(FFOutgoing* client, IFFSource* source)
    {
        LogInfo() << "FFSerializeHelper::RemoveClient";
        LogInfo() << "Disonnecting FFSerialize from FFOutgoing";
        _serializeNode.RemoveNode(client);
        auto it = std::find_if(_outgoings.begin(), _outgoings.end(),
                               [client](const std::shared_ptr<FFOutgoing>& o) { return o.get() == client; });
        if (it != _outgoings.end())
            _outgoings.erase(it);
        if (_outgoings.empty()) {
            LogInfo() << "Disonnecting Source from FFSerialize";
            if (source)
                source->RemoveNode(&_serializeNode);
            _serializeNode.DisconnectFromSource();
        }
    }

    bool HasClients() const { return !_outgoings.empty(); }

    void Flush()
    {
        _serializeNode.Flush();
        for (auto& o : _outgoings)
            o->Flush();
    }

    void SetNumberOutgoingPackets(uint32_t count)
    {
        _numberOutgoingPackets = count;
        for (auto& o : _outgoings)
            o->SetNumberOutgoingPackets(count);
    }
    uint32_t GetNumberOutgoingPackets() const { return _numberOutgoingPackets; }

private:
    // All guarded by the owning engine's `_mutex` (see the header).
    FFSerialize _serializeNode;
    uint32_t _numberOutgoingPackets = 1;
    std::vector<std::shared_ptr<FFOutgoing>> _outgoings;
};

} // namespace Quillet

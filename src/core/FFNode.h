#pragma once
// The processing graph. A source side keeps its destinations and pushes
// records to them synchronously on its own thread; a destination side
// remembers its source; a filter is both. Disconnection runs down the graph.
//
// Threads: a source's own thread (file read thread, camera thread, remote
// writer) calls PushToDestinations and AnyDestinationBusy; the thread that
// builds or tears down the graph (the engine's caller) calls ConnectNode,
// RemoveNode and DisconnectNode, possibly while a push runs. FFProcess,
// GetStatus and NotifyNewRecipient therefore run on whichever of the two
// called into the source.
//
// Locking: each source side's `lock` guards its list of destinations and is
// held while a push walks it, so a destination is never removed under a
// running push. It is recursive because a destination may reach back into
// its source from inside FFProcess or NotifyNewRecipient (asking for the
// description, removing itself); across nodes the order is always upstream
// node before downstream node, following the push.
//
// Room downstream: a producer that waits while a destination answers Full or
// Paused sleeps on its `roomSignal` (core/RoomSignal.h). ConnectNode hands
// that signal to the destination; a destination rings it (RoomMade) from
// whatever thread changes its answer back, and a filter passes the rings of
// its own destinations on to it. `_roomGuard` guards a destination's
// `_upstreamRoom` only.
#include <algorithm>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "core/FFTypes.h"
#include "core/RoomSignal.h"

namespace Quillet {

template <typename T>
class FFSourceNode;

template <typename T>
class FFDestNode {
public:
    virtual ~FFDestNode() = default;

    // Receives one record on the producer's thread; heavy work only queues.
    virtual FFStatus FFProcess(std::shared_ptr<T> record) = 0;

    // Called once right after connection: the new destination first sees
    // the stream description of its source.
    virtual void NotifyNewRecipient()
    {
        if (parent) {
            if (auto meta = parent->GetMetaInfo())
                FFProcess(std::move(meta));
        }
    }

    virtual FFStatus GetStatus() { return FFStatus::Ready; }

    virtual void DisconnectFromSource()
    {
        Flush();
        parent = nullptr;
    }

    // Drops whatever the node holds and resets its state.
    virtual void Flush() {}

    // Filters override this to cut their own destinations first.
    virtual void DisconnectNode() {}

    FFSourceNode<T>* GetParent() const { return parent; }

    // Tells the producer above that this destination may take records again
    // after it answered Full or Paused. Any thread; takes no graph lock.
    void RoomMade()
    {
        std::shared_ptr<RoomSignal> room;
        {
            std::lock_guard<std::mutex> guard(_roomGuard);
            room = _upstreamRoom;
        }
        if (room)
            room->Ring();
    }

    // The signal of the source this node is connected to; filters pass it on.
    virtual void SetUpstreamRoom(std::shared_ptr<RoomSignal> room)
    {
        std::lock_guard<std::mutex> guard(_roomGuard);
        _upstreamRoom = std::move(room);
    }

private:
    friend class FFSourceNode<T>;
    std::mutex _roomGuard;
    std::shared_ptr<RoomSignal> _upstreamRoom;
    // Set and cleared under the source's `lock` (ConnectNode, DisconnectNode).
    FFSourceNode<T>* parent = nullptr;
};

template <typename T>
class FFSourceNode {
public:
    virtual ~FFSourceNode() = default;

    // The record that describes the stream this node produces, or empty.
    virtual std::shared_ptr<T> GetMetaInfo() = 0;

    void ConnectNode(FFDestNode<T>* destination)
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (std::find(destinations.begin(), destinations.end(), destination) != destinations.end())
            return;
        destinations.push_back(destination);
        destination->parent = this;
        destination->SetUpstreamRoom(roomSignal);
        destination->NotifyNewRecipient();
    }

    // Forgets the destination; the caller disconnects it from its side.
    void RemoveNode(FFDestNode<T>* destination)
    {
        {
            std::lock_guard<std::recursive_mutex> guard(lock);
            destinations.remove(destination);
        }
        roomSignal->Ring(); // it can no longer hold the producer back
    }

    // Cuts the whole subtree below this node, deepest first.
    virtual void DisconnectNode()
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        for (FFDestNode<T>* d : destinations) {
            d->DisconnectNode();
            d->DisconnectFromSource();
        }
        destinations.clear();
        roomSignal->Ring();
    }

    std::vector<FFStatus> PushToDestinations(const std::shared_ptr<T>& record)
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        std::vector<FFStatus> answers;
        answers.reserve(destinations.size());
        for (FFDestNode<T>* d : destinations)
            answers.push_back(d->FFProcess(record));
        return answers;
    }

    // True when any destination asks the producer to wait (Full or Paused).
    bool AnyDestinationBusy()
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        return std::any_of(destinations.begin(), destinations.end(),
                           [](FFDestNode<T>* d) { return d->GetStatus().MustWait(); });
    }

    bool HasDestinations() const
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        return !destinations.empty();
    }

    // Rung by the destinations when they have room again (see the header);
    // a producer that waits for room sleeps on it. Fixed for the node's life.
    const std::shared_ptr<RoomSignal> roomSignal = std::make_shared<RoomSignal>();

protected:
    // `lock` guards `destinations`.
    std::list<FFDestNode<T>*> destinations;
    mutable std::recursive_mutex lock;
};

template <typename In, typename Out>
class FFNode : public FFDestNode<In>, public FFSourceNode<Out> {
public:
    void DisconnectNode() override { FFSourceNode<Out>::DisconnectNode(); }
    // The rings of this filter's destinations go on to its own source.
    void SetUpstreamRoom(std::shared_ptr<RoomSignal> room) override
    {
        FFSourceNode<Out>::roomSignal->Link(room);
        FFDestNode<In>::SetUpstreamRoom(std::move(room));
    }
};

} // namespace Quillet

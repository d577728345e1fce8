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
#include <algorithm>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "core/FFTypes.h"

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

private:
    friend class FFSourceNode<T>;
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
        destination->NotifyNewRecipient();
    }

    // Forgets the destination; the caller disconnects it from its side.
    void RemoveNode(FFDestNode<T>* destination)
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        destinations.remove(destination);
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

protected:
    // `lock` guards `destinations`.
    std::list<FFDestNode<T>*> destinations;
    mutable std::recursive_mutex lock;
};

template <typename In, typename Out>
class FFNode : public FFDestNode<In>, public FFSourceNode<Out> {
public:
    void DisconnectNode() override { FFSourceNode<Out>::DisconnectNode(); }
};

} // namespace Quillet

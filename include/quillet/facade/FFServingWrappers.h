#pragma once
// Serving and remote facades: clients pull serialized batches from
// FFOutgoingWrapper handles; a remote player is fed those batches.
// Public header. Threads: any application thread and any event handler calls
// the facades; FFSerializeWrapper::_mutex guards the engine pointer,
// `_outsLock` the list of handles, FFOutgoingWrapper::_mutex its queue pointer
// and notice (the notice itself is called with no lock of the wrapper held).
// The client calls also hold the client monitor; every call opens the
// library's call scope first, so what the engine defers (a source's close
// when the last client leaves, events) runs after the monitor is let go.
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FFFileWrapper.h"
#include "../Export.h"

namespace Quillet {
class FFOutgoing;
class IFFSerializeEngine;
class FFFileServerEngine;
class FFPlayServerEngine;
class FFRemoteEngine;
} // namespace Quillet

namespace Quillet::FFWrapperCLI {

/// One client's queue of serialized batches, handed out by IFFSerializeWrapper::AddClient.
///
/// Threads: GetNextPacket may be called from any thread, typically one application thread per
/// client, while the source's read thread fills the queue. Safe to use after its facade is gone or
/// the client was removed: it then returns nothing.
class QUILLET_EXPORT FFOutgoingWrapper {
public:
    /// Wraps a queue of the library; applications get handles from AddClient instead.
    explicit FFOutgoingWrapper(Quillet::FFOutgoing* out) : _out(out) {}

    /// The wrapped queue, null once detached. For the library's own use.
    Quillet::FFOutgoing* GetOut() const { return _out; }
    /// Replaces the wrapped queue (null detaches). For the library's own use.
    void SetOut(Quillet::FFOutgoing* out);
    /// The next batch of serialized records, or an empty vector when none is queued. Never waits.
    /// A batch is fed unchanged to FFRemoteWrapper::WritePacket on the receiving side.
    std::vector<uint8_t> GetNextPacket();
    /// `notice` is called on the source's thread each time a record is queued, and when the queue
    /// is detached or goes away, so that a reader can sleep until then instead of polling. It must
    /// return at once and must not call into the library. Null removes it.
    void SetArrivalNotice(std::function<void()> notice);

private:
    // `_mutex` guards `_out` and `_notice`.
    std::mutex _mutex;
    Quillet::FFOutgoing* _out;
    std::function<void()> _notice;
};

/// A shared handle on one client's queue.
using FFOutgoingHandle = std::shared_ptr<FFOutgoingWrapper>;

/// Client management of the serving facades. Threads: any application thread.
class QUILLET_EXPORT IFFSerializeWrapper {
public:
    virtual ~IFFSerializeWrapper() = default;
    /// A new client, or null when the source cannot be opened. The first client opens the source.
    virtual FFOutgoingHandle AddClient() = 0;
    /// Removes a client; its handle then returns nothing. Null or already removed: nothing.
    virtual void RemoveClient(const FFOutgoingHandle& client) = 0;
    /// The most records one batch of GetNextPacket holds.
    virtual void SetNumberOutgoingPackets(unsigned int outgoings) = 0;
    /// The most records one batch holds; 0 without an engine.
    virtual unsigned int GetNumberOutgoingPackets() = 0;
};

/// Client handling on top of a serving engine's client management; the serving facades own one.
/// Threads: any thread; its own lock serialises the calls.
class QUILLET_EXPORT FFSerializeWrapper : public IFFSerializeWrapper {
public:
    /// Manages the clients of `engine` (not owned).
    explicit FFSerializeWrapper(Quillet::IFFSerializeEngine* engine) : _serializeEngine(engine) {}

    FFOutgoingHandle AddClient() override;
    void RemoveClient(const FFOutgoingHandle& client) override;
    void SetNumberOutgoingPackets(unsigned int outgoings) override;
    unsigned int GetNumberOutgoingPackets() override;
    /// Detaches every handle handed out and forgets the engine.
    void Cleanup();

    /// The owning facade holds this around each forwarded client call and around disposal.
    std::recursive_mutex monitor;

private:
    // `_mutex` guards the engine pointer (null after Cleanup), `_outsLock` the handles handed out.
    std::recursive_mutex _mutex;
    Quillet::IFFSerializeEngine* _serializeEngine;
    std::mutex _outsLock;
    std::list<FFOutgoingHandle> _outs;
};

/// What both serving facades add to the facade `Facade` they build on: a source set by URL and
/// opened by the first client, and the clients' queues (see IFFSerializeWrapper), on an engine
/// of type `ServingEngine`. Applications use FFFileServerWrapper and FFPlayServerWrapper.
///
/// Threads: any application thread and any event handler may call every operation. The client
/// calls hold the client monitor (FFSerializeWrapper::monitor); the others hold no facade lock.
template <class Facade, class ServingEngine>
class QUILLET_EXPORT FFServingWrapper : public Facade, public IFFSerializeWrapper {
public:
    /// Detaches all clients and disposes of the facade.
    ~FFServingWrapper() override;

    /// The source to serve; opened by the first AddClient.
    void SetSource(const std::string& sourceUrl);
    /// A new client, or null when the source cannot be opened. The first client opens the source.
    FFOutgoingHandle AddClient() override;
    /// Removes a client; its handle then returns nothing. Null or already removed: nothing.
    void RemoveClient(const FFOutgoingHandle& client) override;
    /// The most records one batch of GetNextPacket holds.
    void SetNumberOutgoingPackets(unsigned int outgoings) override;
    /// The most records one batch holds; 0 without an engine.
    unsigned int GetNumberOutgoingPackets() override;
    /// Detaches all clients, then closes the source and deletes the engine; idempotent. As
    /// FFWrapper::Dispose, also from an event handler.
    StopResult Dispose() override;

protected:
    /// Takes ownership of `engine`, which also manages the clients.
    explicit FFServingWrapper(ServingEngine* engine);

private:
    // The clients; its `monitor` is held by the client calls and Dispose.
    FFSerializeWrapper _serialize;
};

// Both uses are compiled into the library.
extern template class QUILLET_EXPORT FFServingWrapper<FFFileWrapper, Quillet::FFFileServerEngine>;
extern template class QUILLET_EXPORT FFServingWrapper<FFWrapper, Quillet::FFPlayServerEngine>;

/// Serves a live source (typically a camera) to any number of clients while it can also be
/// played and recorded like FFFileWrapper. A slow client loses its backlog rather than holding up
/// the camera.
///
/// Threads: any application thread may call every operation; events arrive as for FFFileWrapper.
/// The source's read thread fills the clients' queues.
class QUILLET_EXPORT FFFileServerWrapper : public FFServingWrapper<FFFileWrapper, Quillet::FFFileServerEngine> {
public:
    /// A server whose log lines use the category "FF1".
    FFFileServerWrapper();
    /// A server whose log lines use the category `log`.
    explicit FFFileServerWrapper(const std::string& log);

    /// Camera connection settings used when the source is opened.
    void SetSourceSettings(const SourceSettings& sourceSettings);
};

/// Serves a file or URL to any number of clients at playback pace: a full client queue holds the
/// source back, so no client loses records. A live camera is never held back: a client more than
/// 600 records behind skips to the newest key picture. Video decoding (DecodeVideo) is optional. Start
/// reading with StartEngine once the first client has opened the source.
///
/// Threads: any application thread may call every operation; events arrive as for FFWrapper. The
/// source's read thread fills the clients' queues.
class QUILLET_EXPORT FFPlayServerWrapper : public FFServingWrapper<FFWrapper, Quillet::FFPlayServerEngine> {
public:
    /// A server whose log lines use the category "FF1".
    FFPlayServerWrapper();
    /// A server whose log lines use the category `log`.
    explicit FFPlayServerWrapper(const std::string& log);
};

/// Plays a stream served by FFFileServerWrapper or FFPlayServerWrapper: the application carries
/// the batches from a client handle's GetNextPacket to WritePacket (over any transport), and reads
/// pictures and sound as from FFWrapper. It needs no OpenSource or StartEngine.
///
/// Threads: any application thread may call every operation; records are decoded on the thread
/// that calls ReadFrameGetSize, and events (EndOfStream) arrive on it.
class QUILLET_EXPORT FFRemoteWrapper : public FFWrapper {
public:
    /// A remote player whose log lines use the category "FF1".
    FFRemoteWrapper();
    /// A remote player whose log lines use the category `log`.
    explicit FFRemoteWrapper(const std::string& log);

    /// What Write did with a batch.
    enum class WriteResult {
        Taken,     ///< taken whole
        Again,     ///< not all of it now: read pictures, then offer the same batch again
        Malformed, ///< empty or not a batch a server makes: offering it again cannot help
    };
    /// Feeds one batch received from a server, `size` bytes at `data` (the player remembers how far
    /// into a batch it got when it answers Again).
    WriteResult Write(const uint8_t* data, size_t size);
    /// Write, true when the batch was taken whole.
    bool WritePacket(const std::vector<uint8_t>& data);
    /// As WritePacket(const std::vector<uint8_t>&), for `size` bytes at `data`.
    bool WritePacket(const uint8_t* data, size_t size);
    /// Forgets how far the current batch was taken: the next batch is read from its start.
    void WaitForSeek();
    /// Drops incoming records until the seek marker for `seekTo` arrives. True when `seekTo` is a
    /// new target, false when that seek (within 0.01 s) is already awaited.
    bool WaitForSeek(double seekTo);
};

} // namespace Quillet::FFWrapperCLI

#pragma once
// The publishing outputs of one engine, by URL, and their wiring to the
// engine's source. The engine calls every operation under its own lock, on
// application threads or its close worker; `_lock` additionally guards
// `_sinks` so status queries need not take the engine lock. Retire joins the
// output's worker, so the engine calls it with no lock held. A stop asked for
// from an output's own worker (an event handler) parks the sink until its
// worker has ended and the next operation frees it, or the hub's end.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "publish/PublishSink.h"
#include "source/IFFSource.h"

namespace Quillet {

class PublishHub {
public:
    PublishHub() = default;
    ~PublishHub();
    PublishHub(const PublishHub&) = delete;
    PublishHub& operator=(const PublishHub&) = delete;

    // Starts an output for `url` and connects it to `source` when there is
    // one. Throws std::invalid_argument for a URL no protocol takes; an
    // output already running for the URL is left as it is.
    void Start(const std::string& url, IFFSource* source, bool liveSource, FFMessenger* messenger,
               PublishBackoff backoff = {});
    // Takes the output for `url` off the hub and off `source`; null when
    // none runs. The caller ends it with Retire, outside its own locks: the
    // output's worker may be raising an event into the application.
    std::unique_ptr<PublishSink> Detach(const std::string& url, IFFSource* source);
    // Stops the worker and frees the output (parks it when called on its worker).
    void Retire(std::unique_ptr<PublishSink> sink);
    // Detaches every output; the caller retires them.
    std::vector<std::unique_ptr<PublishSink>> DetachAll(IFFSource* source);
    // Connects every output to a newly opened source.
    void ConnectAll(IFFSource* source, bool liveSource);
    std::vector<PublishStatus> Statuses() const;
    // Asks every output's worker to end, without waiting (the engine's
    // teardown from one of its own threads; the destructor joins them).
    void RequestStopAll();

private:
    // Frees parked sinks whose worker has ended (never waits, so it may run
    // under the engine's lock); takes `_lock` itself.
    void _ReapParked();

    // `_lock` guards `_sinks` and `_parked`; the engine's lock is held too
    // for every change, so status queries alone may take `_lock` only.
    mutable std::mutex _lock;
    std::map<std::string, std::unique_ptr<PublishSink>> _sinks;
    std::vector<std::unique_ptr<PublishSink>> _parked;
};

} // namespace Quillet

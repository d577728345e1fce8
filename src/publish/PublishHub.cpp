#include "publish/PublishHub.h"

namespace Quillet {

PublishHub::~PublishHub()
{
    for (auto& sink : DetachAll(nullptr))
        Retire(std::move(sink));
    std::vector<std::unique_ptr<PublishSink>> parked;
    {
        std::lock_guard<std::mutex> guard(_lock);
        parked.swap(_parked);
    }
    parked.clear(); // each waits for its worker (or, on that worker, leaves it to the collector)
}

void PublishHub::Start(const std::string& url, IFFSource* source, bool liveSource, FFMessenger* messenger,
                       PublishBackoff backoff)
{
    _ReapParked();
    PublishSink* sink = nullptr;
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_sinks.count(url))
            return;
        auto made = std::make_unique<PublishSink>(PublishTarget::FromUrl(url), liveSource, true, backoff);
        made->SetMessenger(messenger);
        made->Start();
        sink = made.get();
        _sinks.emplace(url, std::move(made));
    }
    if (source)
        source->ConnectNode(sink);
}

std::unique_ptr<PublishSink> PublishHub::Detach(const std::string& url, IFFSource* source)
{
    std::unique_ptr<PublishSink> sink;
    {
        std::lock_guard<std::mutex> guard(_lock);
        auto it = _sinks.find(url);
        if (it == _sinks.end())
            return nullptr;
        sink = std::move(it->second);
        _sinks.erase(it);
    }
    if (source)
        source->RemoveNode(sink.get());
    // The source's list no longer holds the sink: forget the link here too.
    sink->FFDestNode<FFData>::DisconnectFromSource();
    return sink;
}

std::vector<std::unique_ptr<PublishSink>> PublishHub::DetachAll(IFFSource* source)
{
    std::vector<std::string> urls;
    {
        std::lock_guard<std::mutex> guard(_lock);
        for (const auto& entry : _sinks)
            urls.push_back(entry.first);
    }
    std::vector<std::unique_ptr<PublishSink>> all;
    for (const auto& url : urls)
        if (auto sink = Detach(url, source))
            all.push_back(std::move(sink));
    return all;
}

void PublishHub::Retire(std::unique_ptr<PublishSink> sink)
{
    if (!sink)
        return;
    sink->Stop();
    if (sink->IsWorkerThread()) {
        std::lock_guard<std::mutex> guard(_lock);
        _parked.push_back(std::move(sink));
    }
}

void PublishHub::ConnectAll(IFFSource* source, bool liveSource)
{
    if (!source)
        return;
    std::lock_guard<std::mutex> guard(_lock);
    for (auto& entry : _sinks) {
        entry.second->SetLiveSource(liveSource);
        source->ConnectNode(entry.second.get());
    }
}

void PublishHub::RequestStopAll()
{
    std::lock_guard<std::mutex> guard(_lock);
    for (auto& entry : _sinks)
        entry.second->RequestStop();
    for (auto& sink : _parked)
        sink->RequestStop();
}

std::vector<PublishStatus> PublishHub::Statuses() const
{
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<PublishStatus> all;
    for (const auto& entry : _sinks)
        all.push_back(entry.second->Status());
    return all;
}

void PublishHub::_ReapParked()
{
    std::vector<std::unique_ptr<PublishSink>> done;
    {
        std::lock_guard<std::mutex> guard(_lock);
        for (auto it = _parked.begin(); it != _parked.end();) {
            if ((*it)->HasEnded() && !(*it)->IsWorkerThread()) {
                done.push_back(std::move(*it));
                it = _parked.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& sink : done)
        Retire(std::move(sink));
}

} // namespace Quillet

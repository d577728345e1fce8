#pragma once
// A messenger that keeps what passes through it: the errors reported, the
// message numbers, sync points and connection notices raised. Nodes call it
// on their threads; `_mutex` guards all of it. Read `messages`, `syncPoints` and
// `connections` once the nodes have stopped, the reports at any time.
#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "events/FFMessenger.h"

namespace Quillet::Testing {

class CapturingMessenger : public FFMessenger {
public:
    struct Report {
        std::string where;
        std::string what;
        int message;
    };

    using FFMessenger::FFMessenger;

    void Error(const std::string& where, const std::exception& e, FFMessageType message) override
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _reports.push_back({where, e.what(), static_cast<int>(message)});
        }
        FFMessenger::Error(where, e, message);
    }
    // Every event passes here, message events too.
    void SendFFEvent(FFEventArgs* args) override
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            if (args->type == MessageEvent)
                messages.push_back(static_cast<FFMessageArgs*>(args)->message);
            if (args->type == SyncPointEvent)
                syncPoints.push_back(*static_cast<FFSyncPointArgs*>(args));
            if (args->type == ConnectionStatusEvent) {
                auto* c = static_cast<FFSourceConnectionStatusArgs*>(args);
                connections.emplace_back(c->status, c->message);
                connectionTimes.push_back(std::chrono::steady_clock::now());
            }
        }
        FFMessenger::SendFFEvent(args);
    }
    std::vector<Report> Reports() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _reports;
    }

    std::vector<FFMessageType> messages;
    std::vector<FFSyncPointArgs> syncPoints;
    std::vector<std::pair<ConnectionStatus, std::string>> connections;
    std::vector<std::chrono::steady_clock::time_point> connectionTimes; // one per notice
    size_t ConnectionCount() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return connections.size();
    }

private:
    mutable std::mutex _mutex;
    std::vector<Report> _reports;
};

} // namespace Quillet::Testing

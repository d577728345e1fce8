#pragma once
// What an application's event handler was handed by a facade, in arrival
// order: connection status as "<status> <message>", message events as
// "message <n>", any other kind as "other", and the sync points whole. The facade calls the handler on
// library threads and the test reads on its own: `_mutex` guards what is
// kept. Declare it before the facade it listens to, so it outlives it.
#include <mutex>
#include <string>
#include <vector>

#include "facade/FFWrapper.h"

namespace Quillet::Testing {

class FacadeEvents {
public:
    void Attach(FFWrapperCLI::FFWrapper& facade)
    {
        using namespace FFWrapperCLI;
        facade.RegisterFFEventCallback(ManagedEventDelegate([this](const EventArgs& e) {
            std::lock_guard<std::mutex> guard(_mutex);
            if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
                _lines.push_back(std::to_string(static_cast<int>(s->status)) + " " + s->message);
            else if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
                _lines.push_back("message " + std::to_string(static_cast<int>(m->message)));
            else if (auto* d = dynamic_cast<const MissedPicturesEventArgs*>(&e))
                _lines.push_back("missed " + std::to_string(d->missed) + " of " + std::to_string(d->total));
            else if (auto* p = dynamic_cast<const SyncPointEventArgs*>(&e))
                _syncPoints.push_back(*p);
            else
                _lines.push_back("other");
        }));
    }
    // Lines equal to `line`, or with `prefix` set, starting with it.
    size_t Count(const std::string& line, bool prefix = false) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        size_t n = 0;
        for (const auto& l : _lines)
            n += prefix ? l.rfind(line, 0) == 0 : l == line;
        return n;
    }
    std::string Text() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        std::string out;
        for (const auto& l : _lines)
            out += l + "\n";
        return out;
    }
    std::vector<FFWrapperCLI::SyncPointEventArgs> SyncPoints() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _syncPoints;
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
    std::vector<FFWrapperCLI::SyncPointEventArgs> _syncPoints;
};

} // namespace Quillet::Testing

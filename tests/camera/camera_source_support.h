#pragma once
// Shared pieces of the camera tests: a record of a facade's events, noted on
// the library threads that raise them and read on the test thread (`_mutex`
// guards the lines).
#include <mutex>
#include <string>
#include <vector>

#include "facade/FFWrapper.h"
#include "support/WaitFor.h"

namespace CameraSourceTest {

using namespace Quillet;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Quillet::Testing::WaitFor;

inline int64_t NowTicks()
{
    return std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(100);
}

// One line per event, in the order they came.
class Timeline {
public:
    void Add(std::string line)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.push_back(std::move(line));
    }
    size_t Count(const std::string& line) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        size_t n = 0;
        for (const auto& l : _lines)
            n += l == line;
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

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
};

// Notes a facade's connection events ("<status> <message>") and message
// events ("message <n>").
inline void RecordFacadeEvents(FFWrapperCLI::FFWrapper& facade, Timeline& events)
{
    using namespace FFWrapperCLI;
    facade.RegisterFFEventCallback(ManagedEventDelegate([&events](const EventArgs& e) {
        if (auto* s = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            events.Add(std::to_string(static_cast<int>(s->status)) + " " + s->message);
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            events.Add("message " + std::to_string(static_cast<int>(m->message)));
    }));
}

} // namespace CameraSourceTest

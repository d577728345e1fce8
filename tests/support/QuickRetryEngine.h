#pragma once
// An engine for live-camera tests: its camera retries a lost connection every
// 300 ms instead of every five seconds, and a test may attach a destination
// of its own to the source. Construct and call on the test's thread; Attach
// takes the engine's lock as the engine's own calls do.
#include <chrono>
#include <memory>
#include <string>

#include "core/FFNode.h"
#include "source/FFRTSPSource.h"

namespace Quillet::Testing {

template <typename Base>
class QuickRetryEngine : public Base {
public:
    explicit QuickRetryEngine(const std::string& log, std::shared_ptr<FFSourceSettings> settings = nullptr)
        : Base(log)
    {
        if (settings)
            this->SetSourceSettingsForCamera(std::move(settings));
    }
    // Connects `node` to the open source (after OpenSource).
    void Attach(FFDestNode<FFData>* node)
    {
        std::lock_guard<std::recursive_mutex> guard(this->_mutex);
        if (this->_source)
            this->_source->ConnectNode(node);
    }

protected:
    std::unique_ptr<IFFSource> _CreateSource(const std::string& url) override
    {
        auto source = Base::_CreateSource(url);
        if (auto* camera = dynamic_cast<FFRTSPSource*>(source.get()))
            camera->SetReconnectInterval(std::chrono::milliseconds(300));
        return source;
    }
};

} // namespace Quillet::Testing

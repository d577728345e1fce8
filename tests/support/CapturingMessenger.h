#pragma once
// A messenger on a category of its own whose every line is kept, and which
// remembers the errors reported through it. Nodes call it on their threads;
// `_mutex` guards the reports, the appender guards its lines.
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "events/FFMessenger.h"
#include "support/CapturingAppender.h"

namespace Quillet::Testing {

class CapturingMessenger : public FFMessenger {
public:
    struct Report {
        std::string where;
        std::string what;
        int message;
    };

    explicit CapturingMessenger(const std::string& name) : FFMessenger(name)
    {
        Category().setPriority(log4cpp::Priority::DEBUG);
        Category().setAdditivity(false);
        Category().addAppender(capture); // not owned by the category
    }
    ~CapturingMessenger() override { Category().removeAppender(&capture); }

    void Error(const std::string& where, const std::exception& e, FFMessageType message) override
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _reports.push_back({where, e.what(), static_cast<int>(message)});
        }
        FFMessenger::Error(where, e, message);
    }
    std::vector<Report> Reports() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _reports;
    }

    CapturingAppender capture;

private:
    mutable std::mutex _mutex;
    std::vector<Report> _reports;
};

} // namespace Quillet::Testing

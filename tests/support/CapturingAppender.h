#pragma once
// A log4cpp appender that keeps the text of every line it receives, for the
// few checks where a log line is the only observable (a secret that must
// never be written). Any thread may log into it; `_mutex` guards the lines.
#include <mutex>
#include <string>
#include <vector>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

namespace Quillet::Testing {

class CapturingAppender : public log4cpp::AppenderSkeleton {
public:
    CapturingAppender() : log4cpp::AppenderSkeleton("capture") {}

    std::vector<std::string> Texts() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _lines;
    }

    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.push_back(event.message);
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
};

// Attaches a capturing appender to a category for the lifetime of the guard.
class ScopedCapture {
public:
    explicit ScopedCapture(log4cpp::Category& category, int priority = 700) : _category(category)
    {
        _appender = new CapturingAppender();
        _oldPriority = category.getPriority();
        category.setPriority(priority);
        category.addAppender(_appender); // the category owns it
    }
    ~ScopedCapture()
    {
        _category.removeAppender(_appender);
        _category.setPriority(_oldPriority);
    }
    CapturingAppender& operator*() { return *_appender; }
    CapturingAppender* operator->() { return _appender; }

private:
    log4cpp::Category& _category;
    CapturingAppender* _appender;
    int _oldPriority;
};

} // namespace Quillet::Testing

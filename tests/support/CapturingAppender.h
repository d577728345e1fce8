#pragma once
// A log4cpp appender that keeps every line it receives, so tests can check
// what the system logged. Any thread may log into it; `_mutex` guards the lines.
#include <mutex>
#include <string>
#include <vector>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

namespace Quillet::Testing {

class CapturingAppender : public log4cpp::AppenderSkeleton {
public:
    struct Line {
        int priority;
        std::string text;
    };

    CapturingAppender() : log4cpp::AppenderSkeleton("capture") {}

    std::vector<Line> Lines() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _lines;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        for (const auto& l : Lines())
            out.push_back(l.text);
        return out;
    }
    bool Contains(const std::string& text) const
    {
        for (const auto& l : Lines())
            if (l.text == text)
                return true;
        return false;
    }
    // Lines equal to `text` (at `priority`, when given).
    size_t Count(const std::string& text, int priority = -1) const
    {
        size_t n = 0;
        for (const auto& l : Lines())
            n += l.text == text && (priority < 0 || l.priority == priority);
        return n;
    }
    size_t CountStartingWith(const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& l : Lines())
            n += l.text.rfind(prefix, 0) == 0;
        return n;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.clear();
    }

    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.push_back({event.priority, event.message});
    }

private:
    mutable std::mutex _mutex;
    std::vector<Line> _lines;
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

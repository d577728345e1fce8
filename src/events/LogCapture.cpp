#include "events/LogCapture.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>

#include "events/FFLogger.h"

namespace Quillet {

using FFWrapperCLI::LogSeverity;

namespace {

log4cpp::Priority::Value PriorityOf(LogSeverity level)
{
    switch (level) {
    case LogSeverity::Error: return LogLevel::Error;
    case LogSeverity::Warning: return LogLevel::Warn;
    case LogSeverity::Info: return LogLevel::Info;
    case LogSeverity::Debug: return LogLevel::Debug;
    }
    return LogLevel::Warn;
}

// log4cpp's priorities grow with verbosity; between the four levels the
// library writes (notices, say) a line counts as the more severe one.
LogSeverity SeverityOf(log4cpp::Priority::Value priority)
{
    if (priority <= LogLevel::Error)
        return LogSeverity::Error;
    if (priority <= LogLevel::Warn)
        return LogSeverity::Warning;
    if (priority <= LogLevel::Info)
        return LogSeverity::Info;
    return LogSeverity::Debug;
}

} // namespace

class LogCapture::Appender : public log4cpp::AppenderSkeleton {
public:
    Appender() : AppenderSkeleton("quillet-capture") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        const long long us = static_cast<long long>(event.timeStamp.getSeconds()) * 1000000 +
                             event.timeStamp.getMicroSeconds();
        LogCapture::Instance().Deliver(event.priority, event.categoryName, event.message, us);
    }
};

LogCapture& LogCapture::Instance()
{
    static LogCapture capture;
    return capture;
}

log4cpp::Appender& LogCapture::TheAppender()
{
    // Never freed: the root category may hold it until the process ends.
    static auto* appender = new Appender();
    return *appender;
}

void LogCapture::Set(FFWrapperCLI::LogCallback callback, LogSeverity level)
{
    std::lock_guard<std::mutex> setting(_setLock);
    log4cpp::Category& root = RootLogger();
    const log4cpp::Priority::Value priority = callback ? PriorityOf(level) : 0;
    // The root's appender lock is never taken under `_lock`: an append holds
    // it while it waits for `_lock`. Removing also waits for appends in
    // progress, so none runs the old callback once this returns.
    root.removeAppender(&TheAppender());
    {
        std::lock_guard<std::mutex> guard(_lock);
        _callback = std::move(callback);
        _priority = priority;
        if (priority == 0) {
            // A threshold lowered for the capture alone would keep every
            // category writing lines nobody reads.
            if (_rootLoweredTo != 0 && root.getPriority() == _rootLoweredTo)
                root.setPriority(_rootBefore);
            _rootLoweredTo = 0;
            return;
        }
        LowerRootThresholdLocked(root, priority);
    }
    TheAppender().setThreshold(priority);
    root.addAppender(TheAppender());
}

void LogCapture::Reattach()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_priority == 0)
            return;
        _rootLoweredTo = 0; // the configuration chose the threshold afresh
        LowerRootThresholdLocked(root, _priority);
    }
    // Adding an appender the root holds already changes nothing.
    root.addAppender(TheAppender());
}

void LogCapture::LowerRootThresholdLocked(log4cpp::Category& root, log4cpp::Priority::Value priority)
{
    if (root.getPriority() >= priority)
        return;
    if (_rootLoweredTo == 0)
        _rootBefore = root.getPriority();
    root.setPriority(priority);
    _rootLoweredTo = priority;
}

void LogCapture::Deliver(log4cpp::Priority::Value priority, const std::string& category, const std::string& text,
                         long long timeUs)
{
    std::lock_guard<std::mutex> guard(_lock);
    if (!_callback || priority > _priority)
        return;
    FFWrapperCLI::LogLine line;
    line.severity = SeverityOf(priority);
    line.category = category;
    line.text = text;
    line.timeUs = timeUs;
    try {
        _callback(line);
    } catch (...) {
        // The application's failure must not unwind through the logging thread.
    }
}

} // namespace Quillet

namespace Quillet::FFWrapperCLI {

void SetLogCallback(LogCallback callback, LogSeverity level)
{
    LogCapture::Instance().Set(std::move(callback), level);
}

} // namespace Quillet::FFWrapperCLI

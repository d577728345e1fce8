#include "events/LogCapture.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>

#include <deque>

#include "core/CallScope.h"
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

// A captured line waiting for log4cpp to let go of its locks.
struct PendingLine {
    log4cpp::Priority::Value priority;
    std::string category;
    std::string text;
    long long timeUs;
};

struct ThreadLines {
    std::deque<PendingLine> lines;
    int delivering = 0; // this thread is inside the callback
};

ThreadLines& ThisThread()
{
    thread_local ThreadLines lines;
    return lines;
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
        LogCapture::Instance().Capture(event.priority, event.categoryName, event.message, us);
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
    std::unique_lock<std::mutex> setting(_setLock);
    log4cpp::Category& root = RootLogger();
    const log4cpp::Priority::Value priority = callback ? PriorityOf(level) : 0;
    // The root's appender lock is never taken under `_lock`: an append holds
    // it while it waits for `_lock`. Removing also waits for appends in
    // progress, so none runs the old callback once this returns.
    root.removeAppender(&TheAppender());
    {
        std::lock_guard<std::mutex> guard(_lock);
        _callback = callback ? std::make_shared<const FFWrapperCLI::LogCallback>(std::move(callback)) : nullptr;
        _priority = priority;
        if (priority == 0) {
            // A threshold lowered for the capture alone would keep every
            // category writing lines nobody reads.
            if (_rootLoweredTo != 0 && root.getPriority() == _rootLoweredTo)
                root.setPriority(_rootBefore);
            _rootLoweredTo = 0;
        } else {
            LowerRootThresholdLocked(root, priority);
        }
    }
    if (priority != 0) {
        TheAppender().setThreshold(priority);
        root.addAppender(TheAppender());
    }
    setting.unlock();
    // Deliveries of the old callback still running on other threads end
    // before this returns; the caller's own (a callback that replaces
    // itself) cannot, and its thread takes no line after this one.
    const int own = ThisThread().delivering;
    std::unique_lock<std::mutex> guard(_lock);
    _idle.wait(guard, [&] { return _inFlight <= own; });
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

void LogCapture::Capture(log4cpp::Priority::Value priority, const std::string& category, const std::string& text,
                         long long timeUs)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!_callback || priority > _priority)
            return;
    }
    ThisThread().lines.push_back(PendingLine{priority, category, text, timeUs});
}

void LogCapture::DeliverPending()
{
    ThreadLines& mine = ThisThread();
    if (mine.lines.empty() || mine.delivering > 0 || CallScope::IsOpen())
        return;
    ++mine.delivering;
    while (!mine.lines.empty()) {
        const PendingLine pending = std::move(mine.lines.front());
        mine.lines.pop_front();
        std::shared_ptr<const FFWrapperCLI::LogCallback> callback;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (!_callback || pending.priority > _priority)
                continue;
            callback = _callback;
            ++_inFlight;
        }
        FFWrapperCLI::LogLine line;
        line.severity = SeverityOf(pending.priority);
        line.category = pending.category;
        line.text = pending.text;
        line.timeUs = pending.timeUs;
        try {
            (*callback)(line);
        } catch (...) {
            // The application's failure must not unwind through the logging thread.
        }
        {
            std::lock_guard<std::mutex> guard(_lock);
            --_inFlight;
        }
        _idle.notify_all();
    }
    --mine.delivering;
}

} // namespace Quillet

namespace Quillet::FFWrapperCLI {

void SetLogCallback(LogCallback callback, LogSeverity level)
{
    LogCapture::Instance().Set(std::move(callback), level);
}

} // namespace Quillet::FFWrapperCLI

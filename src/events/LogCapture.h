#pragma once
// Hands the application every log line of a chosen level or more severe, the
// library's own and FFmpeg's, through one callback (facade/Logging.h's
// SetLogCallback). The capture is one log4cpp appender on the root category,
// so it sees every category that keeps the root's additivity.
//
// Threads: Deliver (the appender) runs on whichever thread logs: a source's
// read thread, a decoder or FFmpeg thread, the application's thread inside a
// call. Set and Reattach run on any thread; `_setLock` makes Sets one at a
// time. `_lock` guards the fields below and is held while the callback runs.
// Lock order: `_setLock`, log4cpp's hierarchy lock, the root category's
// appender lock (held by log4cpp while it appends), then `_lock`; so the
// appender is added and removed, and the root looked up, outside `_lock`.
// Removing waits for appends in progress: once Set(nullptr) has returned no
// callback runs.
#include <functional>
#include <mutex>

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "facade/Logging.h"

namespace Quillet {

class LogCapture {
public:
    static LogCapture& Instance();

    // Starts (or with an empty callback stops) handing out lines of `level`
    // or more severe. The root category's threshold is lowered to `level`
    // when it is stricter, so categories that inherit it write such lines.
    void Set(FFWrapperCLI::LogCallback callback, FFWrapperCLI::LogSeverity level);
    // A logging configuration was applied: it drops the root's appenders and
    // may raise its threshold again. Called under the configuration mutex.
    void Reattach();

private:
    LogCapture() = default;
    class Appender;
    static log4cpp::Appender& TheAppender();
    void Deliver(log4cpp::Priority::Value priority, const std::string& category, const std::string& text,
                 long long timeUs);
    // Lowers the root's threshold to `priority` when it is stricter,
    // remembering what it was. Called with `_lock` held, so `root` is looked
    // up before: the lookup takes log4cpp's hierarchy lock, which a
    // configuration holds while it takes the appender lock.
    void LowerRootThresholdLocked(log4cpp::Category& root, log4cpp::Priority::Value priority);

    std::mutex _setLock;
    // All the following fields are guarded by `_lock`.
    std::mutex _lock;
    FFWrapperCLI::LogCallback _callback;
    log4cpp::Priority::Value _priority = 0; // 0: capturing nothing
    log4cpp::Priority::Value _rootLoweredTo = 0; // 0: the root's threshold is the configuration's
    log4cpp::Priority::Value _rootBefore = 0;
};

} // namespace Quillet

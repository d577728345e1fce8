#pragma once
// Hands the application every log line of a chosen level or more severe, the
// library's own and FFmpeg's, through one callback (facade/Logging.h's
// SetLogCallback). The capture is one log4cpp appender on the root category,
// so it sees every category that keeps the root's additivity.
//
// Threads: Capture (the appender) runs on whichever thread logs: a source's
// read thread, a decoder or FFmpeg thread, the application's thread inside a
// call. It runs under log4cpp's appender lock, so it only copies the line
// into a list of the logging thread's own. DeliverPending hands that list to
// the callback once log4cpp has let go: right after the library's log
// statement (LogStream) or FFmpeg's line when no CallScope is open on the
// thread, else when the outermost scope closes (core/CallScope.h). No lock
// is held while the callback runs: it may log and call the library.
// Set and Reattach run on any thread; `_setLock` makes Sets one at a time.
// `_lock` guards the fields below; `_idle` tells a remover that the
// deliveries in flight (`_inFlight`) are done.
// Lock order: `_setLock`, log4cpp's hierarchy lock, the root category's
// appender lock (held by log4cpp while it appends), then `_lock`; so the
// appender is added and removed, and the root looked up, outside `_lock`.
// Removing waits for deliveries in flight on other threads (not for the
// remover's own, when a callback removes itself): once Set(nullptr) has
// returned no line reaches the old callback.
#include <condition_variable>
#include <functional>
#include <memory>
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
    // Hands the lines captured on this thread to the callback, unless a
    // CallScope is open here (its close delivers them) or this thread is
    // inside the callback already (the running delivery takes them next).
    void DeliverPending();

private:
    LogCapture() = default;
    class Appender;
    static log4cpp::Appender& TheAppender();
    void Capture(log4cpp::Priority::Value priority, const std::string& category, const std::string& text,
                 long long timeUs);
    // Lowers the root's threshold to `priority` when it is stricter,
    // remembering what it was. Called with `_lock` held, so `root` is looked
    // up before: the lookup takes log4cpp's hierarchy lock, which a
    // configuration holds while it takes the appender lock.
    void LowerRootThresholdLocked(log4cpp::Category& root, log4cpp::Priority::Value priority);

    std::mutex _setLock;
    // All the following fields are guarded by `_lock`.
    std::mutex _lock;
    std::condition_variable _idle;
    int _inFlight = 0;
    std::shared_ptr<const FFWrapperCLI::LogCallback> _callback;
    log4cpp::Priority::Value _priority = 0; // 0: capturing nothing
    log4cpp::Priority::Value _rootLoweredTo = 0; // 0: the root's threshold is the configuration's
    log4cpp::Priority::Value _rootBefore = 0;
};

} // namespace Quillet

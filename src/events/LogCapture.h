#pragma once
// Hands the application every log line of a chosen level or more severe, the
// library's own and FFmpeg's, through one callback (facade/Logging.h's
// SetLogCallback). The capture is one log4cpp appender on the root category,
// so it sees every category that keeps the root's additivity.
//
// Threads: Deliver (the appender) runs on whichever thread logs: a source's
// read thread, a decoder or FFmpeg thread, the application's thread inside a
// call. Set and Reattach run on any thread. `_lock` guards the fields below;
// it is held while the callback runs, so once Set(nullptr) has returned no
// call is in progress. An append holds the root category's appender lock and
// then takes `_lock`, so Set removes the appender before taking `_lock`; it
// adds it back under `_lock`, which waits for no append.
#include <functional>
#include <mutex>

#include <log4cpp/Appender.hh>
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
    // remembering what it was. Called with `_lock` held.
    void LowerRootThresholdLocked(log4cpp::Priority::Value priority);

    // All the following fields are guarded by `_lock`.
    std::mutex _lock;
    FFWrapperCLI::LogCallback _callback;
    log4cpp::Priority::Value _priority = 0; // 0: capturing nothing
    log4cpp::Priority::Value _rootLoweredTo = 0; // 0: the root's threshold is the configuration's
    log4cpp::Priority::Value _rootBefore = 0;
};

} // namespace Quillet

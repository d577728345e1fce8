#pragma once
// The one object through which the nodes of a graph log and report. Every
// engine is a messenger; its category carries all log lines of its graph.
//
// Threads: every node thread of the graph (read thread, decoder workers,
// camera thread, file writer) and the application's thread log and raise
// events through it at any time. The callback runs on the raising thread
// with no library lock held, so it may call back into any engine: an event
// raised while a CallScope is open on the thread (inside an engine operation
// or a worker's pass, see core/CallScope.h) is copied and handed to the
// callback when the outermost scope closes, before the call returns.
// RegisterFFEventCallback comes from the application's thread; a callback
// copied before it replaced the stored one may still receive that event.
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "events/FFEventArgs.h"
#include "events/FFLogger.h"

namespace Quillet {

// The place line of an error: "Error in: " and the operation's qualified name
// ("FFEngine::Seek"). The read threads of the sources and the engines'
// OpenSource, SendMessageEvent and Error write "Error in " instead, as their
// logs always have; the list lives in this one function.
std::string ErrorPlace(const std::string& operation);

class FFMessenger {
public:
    using Callback = std::function<void(FFEventArgs*)>;

    explicit FFMessenger(const std::string& log);
    virtual ~FFMessenger() = default;
    FFMessenger(const FFMessenger&) = delete;
    FFMessenger& operator=(const FFMessenger&) = delete;

    virtual void SendMessageEvent(FFMessageType message);
    virtual void SendFFEvent(FFEventArgs* args);
    // Logs where, the exception text and the message number, then raises the message.
    virtual void Error(const std::string& where, const std::exception& e, FFMessageType message);

    // Replaces the stored callback; an empty one clears it. Safe while node
    // threads raise events: a raising thread sees the old or the new callback.
    void RegisterFFEventCallback(const Callback& cb);

    LogStream LogDebug() const { return LogStream(_category, LogLevel::Debug); }
    LogStream LogInfo() const { return LogStream(_category, LogLevel::Info); }
    LogStream LogWarn() const { return LogStream(_category, LogLevel::Warn); }
    LogStream LogError() const { return LogStream(_category, LogLevel::Error); }
    // Two ERROR lines for a failed operation: its place (ErrorPlace) and the
    // exception's text.
    void LogFailure(const std::string& operation, const std::exception& e) const
    {
        WritePair(_category, LogLevel::Error, ErrorPlace(operation), e);
    }

    log4cpp::Category& Category() const { return _category; }

protected:
    // Loads the logging configuration and writes the banner (engines call it
    // from their constructor, under the codec lock).
    void InitLogger() { Quillet::InitLogger(_category); }

private:
    // log4cpp serialises writes to a category itself.
    log4cpp::Category& _category;
    // `_callbackLock` guards the pointer only: a raiser copies it under the
    // lock and calls the callback after releasing it.
    std::mutex _callbackLock;
    std::shared_ptr<const Callback> _callback;
};

} // namespace Quillet

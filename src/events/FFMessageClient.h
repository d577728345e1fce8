#pragma once
// What every node uses to log and report: its engine's messenger when it has
// one, otherwise the root category (and then nothing is raised).
// SetMessenger is called while the graph is built, before any node thread
// runs; afterwards `_messenger` is only read, from any thread, so it takes no
// lock.
#include <exception>
#include <string>

#include "events/FFMessenger.h"

namespace Quillet {

class FFMessageClient {
public:
    virtual ~FFMessageClient() = default;

    void SetMessenger(FFMessenger* messenger) { _messenger = messenger; }

    LogStream LogDebug() const { return LogStream(Category(), LogLevel::Debug); }
    LogStream LogInfo() const { return LogStream(Category(), LogLevel::Info); }
    LogStream LogWarn() const { return LogStream(Category(), LogLevel::Warn); }
    LogStream LogError() const { return LogStream(Category(), LogLevel::Error); }

    void ReportEndOfStream() const
    {
        if (_messenger)
            _messenger->SendMessageEvent(FFMessageType::EndOfStream);
    }
    // Reports the failure of `operation` (a qualified name, see ErrorPlace)
    // with the message number, through the messenger's Error.
    void ReportError(const std::string& operation, const std::exception& e, FFMessageType message) const
    {
        if (_messenger)
            _messenger->Error(ErrorPlace(operation), e, message);
    }
    void RaiseEvent(FFEventArgs& record) const
    {
        if (_messenger)
            _messenger->SendFFEvent(&record);
    }

protected:
    // Set while the graph is built, read-only afterwards (see the header).
    FFMessenger* _messenger = nullptr;

private:
    log4cpp::Category& Category() const { return _messenger ? _messenger->Category() : RootLogger(); }
};

} // namespace Quillet

#include "events/FFMessenger.h"

#include "core/CallScope.h"

namespace Quillet {

std::string ErrorPlace(const std::string& operation)
{
    static const char* const kOlderPlaces[] = {"FFEngine::OpenSource", "FFEngine::SendMessageEvent", "FFEngine::Error",
                                               "FFFileEngine::Error", "FFSource::_ReadFramesFromSource",
                                               "FFRTSPSource::_ReadFramesFromSource"};
    for (const char* older : kOlderPlaces)
        if (operation == older)
            return "Error in " + operation;
    return "Error in: " + operation;
}

FFMessenger::FFMessenger(const std::string& log) : _category(LoggerCategory(log)) {}

void FFMessenger::RegisterFFEventCallback(const Callback& cb)
{
    auto stored = cb ? std::make_shared<const Callback>(cb) : nullptr;
    std::lock_guard<std::mutex> guard(_callbackLock);
    _callback = std::move(stored);
}

void FFMessenger::SendMessageEvent(FFMessageType message)
{
    LogInfo() << "FFMessenger::SendMessageEvent" << ": " << static_cast<int>(message);
    FFMessageArgs args(message);
    SendFFEvent(&args);
}

void FFMessenger::SendFFEvent(FFEventArgs* args)
{
    // Every event passes here: written only when debugging.
    LogDebug() << "FFMessenger::SendFFEvent" << ": ";
    std::shared_ptr<const Callback> cb;
    {
        std::lock_guard<std::mutex> guard(_callbackLock);
        cb = _callback;
    }
    if (!cb || !args)
        return;
    if (!CallScope::IsOpen()) {
        (*cb)(args);
        return;
    }
    // Raised inside a library call or a worker's pass: the handler runs when
    // the outermost scope closes, with no lock held, still on this thread.
    std::shared_ptr<FFEventArgs> copy = args->Clone();
    CallScope::Raise([cb = std::move(cb), copy = std::move(copy)] { (*cb)(copy.get()); });
}

void FFMessenger::Error(const std::string& where, const std::exception& e, FFMessageType message)
{
    if (_category.isPriorityEnabled(LogLevel::Error)) {
        LogError() << where;
        LogError() << e.what();
        LogError() << "FFMessageError: " << static_cast<int>(message);
    }
    SendMessageEvent(message);
}

} // namespace Quillet

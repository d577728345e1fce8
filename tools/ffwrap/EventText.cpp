#include "EventText.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace Quillet::Tools {

using namespace FFWrapperCLI;

namespace {

const char* MessageName(FFMessageType message)
{
    switch (message) {
    case FFMessageType::NoError: return "no error";
    case FFMessageType::FileSinkError: return "recording error";
    case FFMessageType::SourceError: return "source error";
    case FFMessageType::RTSPSourceError: return "camera error";
    case FFMessageType::EndOfStream: return "end of stream";
    case FFMessageType::SyncPointReady: return "sync point ready";
    case FFMessageType::StreamRefused: return "stream refused";
    case FFMessageType::RecordingFellBehind: return "recording fell behind";
    }
    return "unknown message";
}

const char* StatusName(ConnectionStatus status)
{
    switch (status) {
    case ConnectionStatus::Connected: return "connected";
    case ConnectionStatus::Disconnected: return "disconnected";
    case ConnectionStatus::ConnectionLost: return "connection lost";
    }
    return "connection status unknown";
}

} // namespace

std::string EventText(const EventArgs& event)
{
    if (const auto* m = dynamic_cast<const FFMessageEventArgs*>(&event))
        return MessageName(m->message);
    if (const auto* c = dynamic_cast<const SourceConnectionStatusArgs*>(&event)) {
        std::string text = StatusName(c->status);
        // The camera's own wording carries the attempt number; keep only that.
        // A camera that was not reached says why (its wording names no URL).
        const auto at = c->message.find("attempt");
        if (at != std::string::npos)
            text += ", " + c->message.substr(at);
        else if (c->status == ConnectionStatus::Disconnected && !c->message.empty())
            text += ": " + c->message;
        return text;
    }
    if (dynamic_cast<const SyncPointEventArgs*>(&event))
        return "sync point";
    return "unknown event";
}

std::optional<double> ParseSeconds(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0)
        return std::nullopt;
    return value;
}

} // namespace Quillet::Tools

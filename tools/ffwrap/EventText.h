#pragma once
// What ffwrap prints for the facade's events and for numeric options; shared
// by its commands. Pure functions, callable from any thread.
#include <optional>
#include <string>

#include "facade/FacadeTypes.h"

namespace Quillet::Tools {

// "end of stream", "source error", "connection lost, reconnection attempt 2", ...
std::string EventText(const FFWrapperCLI::EventArgs& event);

// A number of seconds: the whole text is a finite number >= 0, else nothing.
std::optional<double> ParseSeconds(const std::string& text);

} // namespace Quillet::Tools

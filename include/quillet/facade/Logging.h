#pragma once
// Where the library's log goes. Public header: standard library only.
//
// The library logs through log4cpp. Its configuration (a log4cpp property
// file) is looked for, in this order: the file named by SetLogConfiguration,
// the file named by the environment variable QUILLET_LOG_CONFIG, and
// "Config/FFLogger.conf" in the working directory. It is applied when the
// first facade is created and again whenever the file has changed since.
// Without any such file the library writes nothing of its own: log4cpp's root
// category is left at WARN, so warnings and errors reach whatever appender the
// application gives that category, and nothing is written until it does.
// FFmpeg's own messages go to the category "FFmpeg" (set when the library is
// loaded; an av_log callback the application sets afterwards replaces it).
// The library never writes to the process's stderr or stdout unasked.
#include <string>

#include "../Export.h"

namespace Quillet::FFWrapperCLI {

/// Names the logging configuration file (log4cpp's property format) and applies it at once.
/// Takes precedence over QUILLET_LOG_CONFIG and Config/FFLogger.conf; the file is read again
/// at the next facade's creation when it has changed. An empty path goes back to those two.
/// Returns false when the file cannot be read or log4cpp refuses it; the choice of file then
/// stays as it was. Safe from any thread.
QUILLET_EXPORT bool SetLogConfiguration(const std::string& path);

} // namespace Quillet::FFWrapperCLI

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
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "../Export.h"

namespace Quillet::FFWrapperCLI {

/// Names the logging configuration file (log4cpp's property format) and applies it at once.
/// Takes precedence over QUILLET_LOG_CONFIG and Config/FFLogger.conf; the file is read again
/// at the next facade's creation when it has changed. An empty path goes back to those two.
/// Returns false when the file cannot be read or log4cpp refuses it; the choice of file then
/// stays as it was. Safe from any thread.
QUILLET_EXPORT bool SetLogConfiguration(const std::string& path);

/// How severe a log line is (syslog's numbers: smaller is more severe).
enum class LogSeverity : int { Error = 3, Warning = 4, Info = 6, Debug = 7 };

/// One log line, valid for the duration of the callback that receives it.
struct LogLine {
    LogSeverity severity = LogSeverity::Info; ///< how severe the line is
    std::string_view category; ///< "FFmpeg" for FFmpeg's own messages, else the facade's category
    std::string_view text; ///< the message
    int64_t timeUs = 0; ///< when it was written: microseconds since 1970-01-01 UTC
};
/// Receives log lines; see SetLogCallback().
using LogCallback = std::function<void(const LogLine&)>;

/// Hands every log line of `level` or more severe, the library's and FFmpeg's, to `callback`,
/// synchronously on the thread that writes it: a library thread, an FFmpeg thread, or the
/// application's own inside a call. No library lock is held while it runs: a line written inside a
/// library call reaches the callback when that call has let go of its locks, before it returns; a
/// line written by log4cpp reaches it once log4cpp has let go of its own. The callback may log and
/// may call into the library (lines it causes come after it returns, on the same thread). Lines
/// still go wherever the logging configuration sends them; the root category's threshold is
/// lowered to `level` when it is stricter. An empty callback (or another one) replaces it; once
/// that call returns, no line reaches the old callback: the call waits for deliveries in progress
/// on other threads (not for its own thread's, when a callback replaces itself). A slow callback
/// delays only the thread that wrote the line. Safe from any thread, the callback included.
QUILLET_EXPORT void SetLogCallback(LogCallback callback, LogSeverity level = LogSeverity::Warning);

} // namespace Quillet::FFWrapperCLI

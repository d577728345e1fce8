#pragma once
// Logging set-up: every engine construction calls InitLogger, which applies
// the configuration file once per process and again only when the file (or
// the choice of file) has changed since (time, size or inode); a missing or
// broken file never stops anything and is never reported on the console.
// Which file, and the built-in default without one: facade/Logging.h.
// All functions may be called from any thread; configuration and category
// lookup are serialised by one process-wide mutex.
#include <string>

#include <log4cpp/Category.hh>
#include <log4cpp/CategoryStream.hh>
#include <log4cpp/Priority.hh>

namespace Quillet {

// The four levels the code uses, as log4cpp priorities.
namespace LogLevel {
constexpr log4cpp::Priority::Value Debug = 700;
constexpr log4cpp::Priority::Value Info = 600;
constexpr log4cpp::Priority::Value Warn = 400;
constexpr log4cpp::Priority::Value Error = 300;
} // namespace LogLevel

inline constexpr const char* kLoggerConfigPath = "Config/FFLogger.conf";
inline constexpr const char* kLoggerConfigEnvironment = "QUILLET_LOG_CONFIG";

// Applies the configuration now when it changed since it was last applied.
void ApplyLogConfiguration();

// Loads the configuration file and writes the banner to `category`.
void InitLogger(log4cpp::Category& category);
// Category lookup by name, serialised with configuration loading.
log4cpp::Category& LoggerCategory(const std::string& name);
log4cpp::Category& RootLogger();

// A log statement's stream: writes its line when it goes, then hands the
// lines captured for the application's log callback on this thread to it,
// now that log4cpp's locks are free (see LogCapture.h). The library writes
// every line through one of these.
class LogStream : public log4cpp::CategoryStream {
public:
    LogStream(log4cpp::Category& category, log4cpp::Priority::Value priority) : CategoryStream(category, priority) {}
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
};

// Writes `where` and then the exception's text as two lines of `level`.
void WritePair(log4cpp::Category& category, log4cpp::Priority::Value level, const std::string& where,
               const std::exception& e);

} // namespace Quillet

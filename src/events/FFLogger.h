#pragma once
// Logging set-up: the configuration file is re-read at every engine
// construction; a missing or broken file never stops anything.
// Any thread may call these; one process-wide mutex (FFLogger.cpp) serialises
// configuration loading with category lookup, since log4cpp's configurator
// replaces categories' appenders while it runs.
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

// Loads the configuration file and writes the banner to `category`.
void InitLogger(log4cpp::Category& category);
// Category lookup by name, serialised with configuration loading.
log4cpp::Category& LoggerCategory(const std::string& name);
log4cpp::Category& RootLogger();

// Writes `where` and then the exception's text as two lines of `level`.
void WritePair(log4cpp::Category& category, log4cpp::Priority::Value level, const std::string& where,
               const std::exception& e);

} // namespace Quillet

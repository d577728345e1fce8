#include "events/FFLogger.h"

#include <iostream>
#include <mutex>

#include <log4cpp/PropertyConfigurator.hh>

namespace Quillet {
namespace {

std::mutex& LoggingMutex()
{
    static std::mutex m;
    return m;
}

} // namespace

void InitLogger(log4cpp::Category& category)
{
    {
        std::lock_guard<std::mutex> guard(LoggingMutex());
        try {
            log4cpp::PropertyConfigurator::configure(kLoggerConfigPath);
        } catch (const std::exception& e) {
            // Logging goes on with what log4cpp holds; say so once, on the console.
            static bool reported = false;
            if (!reported) {
                reported = true;
                std::cerr << "Logging configuration " << kLoggerConfigPath << " not loaded: " << e.what() << '\n';
            }
        }
    }
    if (category.isPriorityEnabled(LogLevel::Info)) {
        category.getStream(LogLevel::Info) << "";
        category.getStream(LogLevel::Info)
            << " ------------------------------- Video Joining Logfile -------------------------------- ";
        category.getStream(LogLevel::Info) << "";
    }
}

log4cpp::Category& LoggerCategory(const std::string& name)
{
    std::lock_guard<std::mutex> guard(LoggingMutex());
    return log4cpp::Category::getInstance(name);
}

log4cpp::Category& RootLogger()
{
    std::lock_guard<std::mutex> guard(LoggingMutex());
    return log4cpp::Category::getRoot();
}

void WritePair(log4cpp::Category& category, log4cpp::Priority::Value level, const std::string& where,
               const std::exception& e)
{
    if (!category.isPriorityEnabled(level))
        return;
    category.getStream(level) << where;
    category.getStream(level) << e.what();
}

} // namespace Quillet

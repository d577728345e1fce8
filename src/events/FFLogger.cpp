#include "events/FFLogger.h"

#include <sys/stat.h>

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

// What the configuration file looked like when it was last applied. Applying
// it again opens every file appender anew (one descriptor and some memory per
// engine), so that is done only for a file that changed.
struct ConfigStamp {
    bool present = false;
    long long seconds = 0;
    long long nanos = 0;
    long long size = 0;
    long long inode = 0;
    bool operator==(const ConfigStamp& o) const
    {
        return present == o.present && seconds == o.seconds && nanos == o.nanos && size == o.size &&
               inode == o.inode;
    }
};

ConfigStamp StampOf(const char* path)
{
    ConfigStamp stamp;
    struct stat info {};
    if (stat(path, &info) != 0)
        return stamp;
    stamp.present = true;
    stamp.seconds = info.st_mtim.tv_sec;
    stamp.nanos = info.st_mtim.tv_nsec;
    stamp.size = info.st_size;
    stamp.inode = static_cast<long long>(info.st_ino);
    return stamp;
}

// Called under LoggingMutex.
bool ConfigChangedSinceApplied()
{
    static bool applied = false;
    static ConfigStamp last;
    const ConfigStamp now = StampOf(kLoggerConfigPath);
    if (applied && now == last)
        return false;
    applied = true;
    last = now;
    return true;
}

} // namespace

void InitLogger(log4cpp::Category& category)
{
    {
        std::lock_guard<std::mutex> guard(LoggingMutex());
        try {
            if (ConfigChangedSinceApplied())
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

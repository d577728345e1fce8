#include "events/FFLogger.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include <log4cpp/PropertyConfigurator.hh>

extern "C" {
#include <libavutil/log.h>
}

#include "events/LogCapture.h"
#include "facade/Logging.h"

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
    std::string path;
    bool present = false;
    long long seconds = 0;
    long long nanos = 0;
    long long size = 0;
    long long inode = 0;
    bool operator==(const ConfigStamp& o) const
    {
        return path == o.path && present == o.present && seconds == o.seconds && nanos == o.nanos &&
               size == o.size && inode == o.inode;
    }
};

ConfigStamp StampOf(const std::string& path)
{
    ConfigStamp stamp;
    stamp.path = path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return stamp;
    stamp.present = true;
    stamp.seconds = info.st_mtim.tv_sec;
    stamp.nanos = info.st_mtim.tv_nsec;
    stamp.size = info.st_size;
    stamp.inode = static_cast<long long>(info.st_ino);
    return stamp;
}

// The state below is guarded by LoggingMutex.
struct LoggingState {
    std::string chosenPath;    // SetLogConfiguration's, or empty
    bool applied = false;      // `last` holds the file looked at last
    bool everLoaded = false;   // some configuration file was applied once
    ConfigStamp last;
};

LoggingState& State()
{
    static LoggingState state;
    return state;
}

std::string ConfigPath(const LoggingState& state)
{
    if (!state.chosenPath.empty())
        return state.chosenPath;
    const char* named = std::getenv(kLoggerConfigEnvironment);
    return named != nullptr && *named != '\0' ? named : kLoggerConfigPath;
}

// Applies `path`; false, with the reason in `why`, when log4cpp refused it.
bool Configure(LoggingState& state, const std::string& path, std::string& why)
{
    try {
        log4cpp::PropertyConfigurator::configure(path);
        state.everLoaded = true;
        LogCapture::Instance().Reattach();
        return true;
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
}

// Without any configuration the root category lets through warnings and
// errors only, for an appender the application may add; nothing is written
// before it does.
void ApplyBuiltInDefault(const LoggingState& state)
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    if (!state.everLoaded && root.getAllAppenders().empty())
        root.setPriority(LogLevel::Warn);
}

// Called under LoggingMutex.
void ApplyIfChanged(LoggingState& state)
{
    const ConfigStamp now = StampOf(ConfigPath(state));
    if (state.applied && now == state.last)
        return;
    state.applied = true;
    state.last = now;
    std::string why;
    if (!now.present) {
        ApplyBuiltInDefault(state);
    } else if (!Configure(state, now.path, why)) {
        // Logging goes on with what log4cpp holds; said only to the log itself.
        ApplyBuiltInDefault(state);
        LogStream(log4cpp::Category::getRoot(), LogLevel::Warn) << "Logging configuration " << now.path << " not loaded: " << why;
    }
}

} // namespace

void ApplyLogConfiguration()
{
    std::lock_guard<std::mutex> guard(LoggingMutex());
    ApplyIfChanged(State());
}

void InitLogger(log4cpp::Category& category)
{
    ApplyLogConfiguration();
    if (category.isPriorityEnabled(LogLevel::Info)) {
        LogStream(category, LogLevel::Info) << "";
        LogStream(category, LogLevel::Info)
            << " ------------------------------- Video Joining Logfile -------------------------------- ";
        LogStream(category, LogLevel::Info) << "";
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

LogStream::~LogStream()
{
    flush();
    LogCapture::Instance().DeliverPending();
}

void WritePair(log4cpp::Category& category, log4cpp::Priority::Value level, const std::string& where,
               const std::exception& e)
{
    if (!category.isPriorityEnabled(level))
        return;
    LogStream(category, level) << where;
    LogStream(category, level) << e.what();
}

} // namespace Quillet

namespace Quillet::FFWrapperCLI {

bool SetLogConfiguration(const std::string& path)
{
    std::lock_guard<std::mutex> guard(LoggingMutex());
    LoggingState& state = State();
    if (path.empty()) {
        state.chosenPath.clear();
        state.applied = false; // the next facade looks again
        return true;
    }
    const ConfigStamp stamp = StampOf(path);
    std::string why;
    if (!stamp.present || !Configure(state, path, why))
        return false;
    state.chosenPath = path;
    state.applied = true;
    state.last = stamp;
    return true;
}

} // namespace Quillet::FFWrapperCLI

// FFmpeg's own messages (stream dumps, decoder warnings) go to the log4cpp
// category "FFmpeg" instead of FFmpeg's default, which writes to the
// process's stderr: a host that configured no logging gets nothing on its
// console. The route is set once, when the library is loaded; a host that
// wants FFmpeg's messages itself sets its own av_log callback afterwards and
// that one wins. FFmpeg calls the route on any thread; a message may come in
// pieces, so each thread gathers its pieces in its own line until it ends.
namespace Quillet {
namespace {

log4cpp::Priority::Value PriorityOf(int level)
{
    if (level <= AV_LOG_ERROR)
        return LogLevel::Error;
    if (level <= AV_LOG_WARNING)
        return LogLevel::Warn;
    if (level <= AV_LOG_INFO)
        return LogLevel::Info;
    return LogLevel::Debug;
}

void FFmpegToCategory(void* avcl, int level, const char* format, va_list args)
{
    if (level > av_log_get_level())
        return;
    static log4cpp::Category& category = LoggerCategory("FFmpeg");
    const log4cpp::Priority::Value priority = PriorityOf(level);
    if (!category.isPriorityEnabled(priority))
        return;
    thread_local int printPrefix = 1;
    thread_local std::string line;
    char piece[1024];
    av_log_format_line2(avcl, level, format, args, piece, sizeof(piece), &printPrefix);
    line += piece;
    if (line.empty() || line.back() != '\n')
        return;
    line.pop_back();
    category.getStream(priority) << line;
    line.clear();
    // log4cpp has let go of its locks: the line may reach the application.
    LogCapture::Instance().DeliverPending();
}

struct RouteFFmpegLogAtLoad {
    RouteFFmpegLogAtLoad() { av_log_set_callback(FFmpegToCategory); }
} routeFFmpegLogAtLoad;

} // namespace
} // namespace Quillet

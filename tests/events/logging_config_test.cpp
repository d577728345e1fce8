// Where the library's log goes. An application that asked for nothing gets
// nothing on its stderr; a configuration named by the API call, by
// QUILLET_LOG_CONFIG or as Config/FFLogger.conf in the working directory is
// applied; a broken one is not reported on the console either; the tool
// prints the log with --verbose; a log callback gets the lines it asked for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "facade/FFWrapper.h"
#include "facade/Logging.h"
#include "support/TestMedia.h"

using namespace Quillet::Testing;
namespace fs = std::filesystem;

namespace {

constexpr const char* kBanner = "Video Joining Logfile";

// A configuration that writes INFO and above of `category` ("" for the root)
// to the file `log`, and nothing to the console.
std::string FileConfiguration(const std::string& category, const std::string& log)
{
    const std::string key = category.empty() ? "log4cpp.rootCategory" : "log4cpp.category." + category;
    // log4cpp wants the root category named; left as the built-in default has it.
    return key + "=INFO, file\n" +
           (category.empty() ? "" : "log4cpp.rootCategory=WARN\nlog4cpp.additivity." + category + "=false\n") +
           "log4cpp.appender.file=FileAppender\nlog4cpp.appender.file.fileName=" + log +
           "\nlog4cpp.appender.file.layout=BasicLayout\n";
}

std::string Text(const fs::path& file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ToolLogCase {
    const char* name;
    const char* configuration; // written to named.conf: "file" (a working one), "broken", or "" for none
    bool inWorkingDirectory;   // as Config/FFLogger.conf, else named by QUILLET_LOG_CONFIG
    bool verbose;
    bool logFile;              // the configuration's log file gets the banner
};

class ToolLog : public ::testing::TestWithParam<ToolLogCase> {};

// The tool plays a clip in a folder of its own; only --verbose puts the
// library's lines on stderr.
TEST_P(ToolLog, TheLibraryWritesWhereItsConfigurationSaysAndNeverUnaskedOnStderr)
{
    const ToolLogCase& c = GetParam();
    const fs::path tool = fs::absolute(kFfwrap);
    if (!fs::exists(tool))
        GTEST_SKIP() << "ffwrap is not built in this tree";
    const fs::path clip = fs::absolute(MakeClip("logging_clip.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 0.4 -c:v libx264"));
    const fs::path folder = fs::absolute(FreshFolder(std::string("tool_log_") + c.name));
    std::string environment = "env -u QUILLET_LOG_CONFIG ";
    if (*c.configuration) {
        const fs::path config = c.inWorkingDirectory ? folder / "Config/FFLogger.conf" : folder / "named.conf";
        fs::create_directories(config.parent_path());
        std::ofstream(config) << (std::string(c.configuration) == "file" ? FileConfiguration("", "library.log")
                                                                          : "log4cpp.rootCategory=INFO, nowhere\n");
        if (!c.inWorkingDirectory)
            environment = "env QUILLET_LOG_CONFIG=" + config.string() + " ";
    }
    const std::string command = "cd " + folder.string() + " && " + environment + tool.string() + " play " +
                                clip.string() + " --seconds 0.3" + (c.verbose ? " --verbose" : "");
    const std::string err = Capture(command + " 2>&1 >/dev/null; echo exit=$?");
    EXPECT_NE(err.find("exit=0"), std::string::npos) << err;
    if (c.verbose)
        EXPECT_NE(err.find("FFEngine::OpenSource"), std::string::npos) << err;
    else
        EXPECT_EQ(err, "exit=0\n");
    EXPECT_EQ(Text(folder / "library.log").find(kBanner) != std::string::npos, c.logFile);
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Logging, ToolLog,
                         ::testing::Values(ToolLogCase{"NoConfiguration", "", false, false, false},
                                           ToolLogCase{"NamedByEnvironment", "file", false, false, true},
                                           ToolLogCase{"InWorkingDirectory", "file", true, false, true},
                                           ToolLogCase{"Broken", "broken", false, false, false},
                                           ToolLogCase{"Verbose", "", false, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The API call applies the file at once and refuses one it cannot read.
TEST(Logging, TheApiCallNamesTheConfigurationAndRefusesAMissingOne)
{
    const fs::path folder = fs::absolute(FreshFolder("api_log"));
    const fs::path config = folder / "api.conf";
    std::ofstream(config) << FileConfiguration("LoggingApi", (folder / "api.log").string());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Quillet::FFWrapperCLI::SetLogConfiguration((folder / "missing.conf").string()));
    EXPECT_TRUE(Quillet::FFWrapperCLI::SetLogConfiguration(config.string()));
    Quillet::FFWrapperCLI::FFWrapper("LoggingApi").Dispose();
    EXPECT_TRUE(Quillet::FFWrapperCLI::SetLogConfiguration(""));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(Text(folder / "api.log").find(kBanner), std::string::npos);
    fs::remove_all(folder);
}

// The lines a log callback was given, by category.
struct CapturedLines {
    std::mutex lock;
    std::map<std::string, std::string> text; // guarded by lock
    void Start(Quillet::FFWrapperCLI::LogSeverity level)
    {
        Quillet::FFWrapperCLI::SetLogCallback([this](const Quillet::FFWrapperCLI::LogLine& line) {
            std::lock_guard<std::mutex> guard(lock);
            text[std::string(line.category)] += std::string(line.text) + "\n";
        }, level);
    }
    std::string Of(const std::string& category)
    {
        std::lock_guard<std::mutex> guard(lock);
        return text[category];
    }
};

// FFmpeg's own messages (here the stream dump of an open at FFmpeg's default
// level) reach the library's log and a log callback, not the host's stderr;
// the callback keeps its lines through a configuration applied later, and
// gets none once removed.
TEST(Logging, FFmpegAndLibraryLinesReachTheCallbackNotTheHostsStderr)
{
    const std::string clip = MakeClip("logging_dump.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 0.4 -c:v libx264");
    const fs::path folder = FreshFolder("capture_log");
    const fs::path config = folder / "warn.conf";
    std::ofstream(config) << "log4cpp.rootCategory=WARN\n";
    av_log_set_level(AV_LOG_INFO);
    CapturedLines lines;
    lines.Start(Quillet::FFWrapperCLI::LogSeverity::Info);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(Quillet::FFWrapperCLI::SetLogConfiguration(config.string()));
    for (const char* name : {"LoggingDump", "LoggingAfterStop"}) {
        if (std::string(name) == "LoggingAfterStop")
            Quillet::FFWrapperCLI::SetLogCallback(nullptr);
        Quillet::FFWrapperCLI::FFWrapper player(name);
        EXPECT_TRUE(player.OpenSource(clip));
        player.Dispose();
    }
    EXPECT_TRUE(Quillet::FFWrapperCLI::SetLogConfiguration(""));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(lines.Of("FFmpeg").find("Input #0"), std::string::npos) << lines.Of("FFmpeg");
    EXPECT_NE(lines.Of("LoggingDump").find("FFEngine::OpenSource"), std::string::npos);
    EXPECT_EQ(lines.Of("LoggingAfterStop"), "");
    fs::remove_all(folder);
}

} // namespace

// The tool's decoding threads, as a user of a command-line tool expects: each
// command that decodes (play, relay, record) decodes a file on every core by
// default and on as many threads as --threads says. Observed as the tool
// process's thread count while it decodes, against --threads 1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestMedia.h"

namespace {

using namespace Quillet::Testing;
namespace fs = std::filesystem;

struct ToolCommand {
    const char* name;
    std::vector<std::string> words; // after the tool; CLIP stands for the clip
};

size_t Tasks(pid_t pid)
{
    std::error_code error;
    size_t n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end; !error && it != end;
         it.increment(error))
        ++n;
    return n;
}

// Runs the command to its end; the most threads the process had at once, and
// its exit status.
std::pair<size_t, int> MostThreads(const ToolCommand& c, const std::string& clip, std::vector<std::string> extra)
{
    std::vector<std::string> words{kFfwrap};
    for (const std::string& w : c.words)
        words.push_back(w == "CLIP" ? clip : w);
    words.insert(words.end(), extra.begin(), extra.end());
    ChildProcess tool;
    EXPECT_TRUE(tool.Start(words, std::string("tool_threads_") + c.name + ".log"));
    size_t most = 0;
    for (const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         tool.Pid() > 0 && std::chrono::steady_clock::now() < limit;) {
        most = std::max(most, Tasks(tool.Pid()));
        if (tool.Wait(std::chrono::milliseconds(2)) >= 0)
            break;
    }
    const int status = tool.Wait(std::chrono::seconds(10));
    return {most, status};
}

class ToolThreads : public ::testing::TestWithParam<ToolCommand> {};

TEST_P(ToolThreads, FilesDecodeOnEveryCoreByDefaultAndOnTheThreadsAsked)
{
    if (!fs::exists(kFfwrap))
        GTEST_SKIP() << "ffwrap is not built in this tree";
    const ToolCommand& c = GetParam();
    const std::string clip = MakeClip("tool_threads.mp4", "-f lavfi -i testsrc2=size=640x360:rate=25 -t 2 "
                                                          "-c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p");
    const auto [one, oneStatus] = MostThreads(c, clip, {"--threads", "1"});
    const auto [automatic, automaticStatus] = MostThreads(c, clip, {});
    const auto [four, fourStatus] = MostThreads(c, clip, {"--threads", "4"});
    EXPECT_EQ(oneStatus, 0);
    EXPECT_EQ(automaticStatus, 0);
    EXPECT_EQ(fourStatus, 0);
    // Frame threads decode beside the reading thread: a core's worth at least.
    EXPECT_GE(automatic, one + 2) << "automatic";
    EXPECT_GE(four, one + 3) << "--threads 4";
    EXPECT_EQ(MostThreads(c, clip, {"--threads", "many"}).second, 2);
}

INSTANTIATE_TEST_SUITE_P(Commands, ToolThreads,
                         ::testing::Values(ToolCommand{"play", {"play", "CLIP"}},
                                           ToolCommand{"relay", {"relay", "CLIP"}},
                                           ToolCommand{"record", {"record", "CLIP", "tool_threads_out.mkv"}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

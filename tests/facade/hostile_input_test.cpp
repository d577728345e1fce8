// What a file, a URL or a caller may do to the player without taking the
// application down: refused opens say why, damaged files end cleanly,
// stalled servers and FIFOs never block past the timeout, a close from
// another thread ends any open, and thousands of players leak nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "events/FFLogger.h"
#include "facade/FFWrapper.h"
#include "source/file_source_support.h"
#include "support/EnginePlayback.h"
#include "support/StallingHttpServer.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Fifo()
{
    mkfifo("hostile.fifo", 0600); // or it is there from an earlier run
    return "hostile.fifo";
}

// ---------------------------------------------------------------- refused opens

struct RefusedOpen {
    const char* name;
    std::string (*url)();
    const char* reason;
};

std::ostream& operator<<(std::ostream& os, const RefusedOpen& c) { return os << c.name; }

class OpenRefusal : public testing::TestWithParam<RefusedOpen> {};

TEST_P(OpenRefusal, FailsWithItsReasonAndLeavesNothingOpen)
{
    FFWrapper player("HostileOpen");
    const auto start = Clock::now();
    EXPECT_FALSE(player.OpenSource(GetParam().url()));
    EXPECT_LT(SecondsSince(start), 30.0); // a FIFO nobody writes to must not block
    EXPECT_EQ(player.GetOpenFailureReason(), GetParam().reason);
    EXPECT_FALSE(player.StartEngine());
    EXPECT_EQ(player.Width(), 0);
    EXPECT_DOUBLE_EQ(player.GetDuration(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, OpenRefusal,
    testing::Values(RefusedOpen{"Missing", [] { return std::string("media/does-not-exist.mp4"); }, "not found"},
                    RefusedOpen{"EmptyName", [] { return std::string(); }, "not found"},
                    RefusedOpen{"IndexCutOff", &Quillet::FileSourceTest::TruncatedMp4, "not a media file"},
                    RefusedOpen{"Text", &Quillet::FileSourceTest::NotMedia, "not a media file"},
                    // An elementary stream without container facts decodes to garbage.
                    RefusedOpen{"BareH264", &Quillet::FileSourceTest::RawH264, "not a media file"},
                    RefusedOpen{"Fifo", &Fifo, "not a media file"},
                    RefusedOpen{"Directory", [] { return std::string("."); }, "not a media file"},
                    RefusedOpen{"NobodyListening", [] { return std::string("http://127.0.0.1:1/clip"); },
                                "connection refused"}),
    [](const testing::TestParamInfo<RefusedOpen>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- damaged files

// Byte copies of the test clips cut short or with bytes overwritten (fixed
// seeds): each is refused with a reason or plays to a clean end.
struct DamagedFile {
    std::string clip; // webm, avi, mp4, or ts: a transport stream whose picture size changes half way
    size_t keepBytes;   // 0: whole file
    unsigned mutations; // bytes overwritten after the first 64
};

std::ostream& operator<<(std::ostream& os, const DamagedFile& d) { return os << d.clip; }

std::string Undamaged(const std::string& clip)
{
    const std::string av = "-f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 ";
    if (clip == "webm")
        return MakeClip("dmg.webm", av + "-t 1 -c:v libvpx-vp9 -deadline realtime -c:a libopus");
    if (clip == "avi")
        return MakeClip("dmg.avi", av + "-t 2 -c:v mpeg4 -c:a pcm_s16le");
    if (clip == "mp4")
        return MakeClip("dmg.mp4", av + "-t 1 -c:v libx264 -bf 2 -c:a aac");
    const std::string ts = "-t 1 -c:v mpeg2video -f mpegts";
    const auto a = MakeClip("dmg_size_a.ts", "-f lavfi -i testsrc2=size=64x48:rate=10 " + ts);
    const auto b = MakeClip("dmg_size_b.ts", "-f lavfi -i testsrc2=size=96x64:rate=10 " + ts);
    return MakeFile("dmg_sizes.ts", [&](const std::string& out) { Run("cat " + a + " " + b + " > " + out); });
}

std::string Damaged(const DamagedFile& d, const std::string& name)
{
    std::vector<uint8_t> bytes = ReadBytes(Undamaged(d.clip));
    if (d.keepBytes > 0 && d.keepBytes < bytes.size())
        bytes.resize(d.keepBytes);
    std::mt19937 random(1000 + d.mutations); // the same bytes are damaged in every run
    for (unsigned i = 0; i < d.mutations && bytes.size() > 64; ++i)
        bytes[64 + random() % (bytes.size() - 64)] = static_cast<uint8_t>(random());
    const std::string out = "damaged-" + name;
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return out;
}

std::string Name(const DamagedFile& d)
{
    return d.clip + (d.keepBytes ? "_cut" + std::to_string(d.keepBytes) : "_mutated" + std::to_string(d.mutations));
}

std::vector<DamagedFile> DamagedRows()
{
    std::vector<DamagedFile> rows{{"mp4", 0, 40}, {"webm", 0, 40}, {"ts", 0, 200}, {"avi", 0, 200}};
    for (const char* clip : {"webm", "ts", "avi"})
        for (size_t keep : {500, 1000, 10000})
            rows.push_back({clip, keep, 0});
    return rows;
}

class DamagedFiles : public testing::TestWithParam<DamagedFile> {};

TEST_P(DamagedFiles, AreRefusedOrPlayToACleanEnd)
{
    const std::string path = Damaged(GetParam(), Name(GetParam()));
    FFWrapper player("HostileDamaged");
    std::atomic<bool> ended{false};
    player.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            ended = ended || m->message == FFMessageType::EndOfStream || m->message == FFMessageType::SourceError;
    }));
    if (!player.OpenSource(path)) {
        EXPECT_FALSE(player.GetOpenFailureReason().empty());
        return;
    }
    RecordingHost sound;
    player.EnableAudio(true);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    player.SetAudioInterface(&sound);
    if (!player.StartEngine())
        return;
    FrameData frame;
    EXPECT_TRUE(WaitFor([&] {
        player.ReadAudioFromInterface();
        const int size = player.ReadFrameGetSize(&frame);
        if (size > 0) {
            EXPECT_EQ(static_cast<size_t>(size), static_cast<size_t>(frame.width) * frame.height * 3);
        }
        return size < 0 || ended;
    }, 120s)) << path << " neither ended nor was refused";
    player.SetAudioInterface(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Clips, DamagedFiles, testing::ValuesIn(DamagedRows()),
                         [](const testing::TestParamInfo<DamagedFile>& info) { return Name(info.param); });

// ---------------------------------------------------------------- stalls and cancels

std::string OneMegabyteOfTs()
{
    const std::vector<uint8_t> clip = ReadBytes(Quillet::FileSourceTest::PlainTs());
    std::string body;
    while (body.size() < (1u << 20))
        body.append(clip.begin(), clip.end());
    return body;
}

class StalledServer : public testing::TestWithParam<bool> {};

// Never answering, the open times out; sending 1 MB of a stream and then
// stalling, it may open and play, and the reads then time out. Either way a
// close from another thread, during the open or the stalled read, ends it.
TEST_P(StalledServer, OpenEndsWithinTheTimeoutAndACloseEndsItAtOnce)
{
    constexpr double kTimeout = 3.0;
    const bool sendsData = GetParam();
    StallingHttpServer server(sendsData ? OneMegabyteOfTs() : std::string());
    {
        FFWrapper player("HostileStall");
        player.SetNetworkTimeout(kTimeout);
        const auto start = Clock::now();
        const bool opened = player.OpenSource(server.Url());
        EXPECT_LT(SecondsSince(start), kTimeout + 1.0);
        EXPECT_EQ(opened, sendsData);
        EXPECT_EQ(player.GetOpenFailureReason(), sendsData ? "" : "timed out");
    }
    // With the default timeout of 10 s.
    FFWrapper player("HostileStall");
    auto opening = std::async(std::launch::async, [&] {
        return player.OpenSource(server.Url()) && player.StartEngine();
    });
    ASSERT_TRUE(server.WaitUntilStalled(2, 30.0));
    if (sendsData) { // the whole megabyte may sit in the socket buffers before the open ends
        ASSERT_EQ(opening.wait_for(30s), std::future_status::ready);
    }
    const auto start = Clock::now();
    player.CloseSource();
    EXPECT_LT(SecondsSince(start), 1.0);
    ASSERT_EQ(opening.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opening.get(), sendsData);
}

INSTANTIATE_TEST_SUITE_P(Server, StalledServer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "SendsOneMegabyteThenStalls" : "NeverAnswers");
                         });

// ---------------------------------------------------------------- resources

long OpenDescriptors()
{
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

long ResidentKilobytes()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The logging configuration sets a category's own level; once it is gone,
// nothing stops.
TEST(PlayerResources, TwoThousandPlayersWithLoggingConfiguredLeaveDescriptorsAndMemoryFlat)
{
    const auto old = fs::current_path();
    const auto scratch = old / "leak-config";
    fs::create_directories(scratch / "Config");
    std::ofstream(scratch / "Config/FFLogger.conf") << "log4cpp.rootCategory=ERROR, file\n"
                                                       "log4cpp.category.HostileLeak=WARN\n"
                                                       "log4cpp.appender.file=FileAppender\n"
                                                       "log4cpp.appender.file.fileName=FFLogger.log\n"
                                                       "log4cpp.appender.file.layout=BasicLayout\n";
    fs::current_path(scratch);
    const auto cycle = [](int players) {
        for (int i = 0; i < players; ++i) {
            FFWrapper player("HostileLeak");
            player.Dispose();
        }
    };
    cycle(200); // settles allocator pools and the one configuration
    const long descriptors = OpenDescriptors();
    const long resident = ResidentKilobytes();
    cycle(2000);
    const long descriptorsAfter = OpenDescriptors();
    const long residentAfter = ResidentKilobytes();
    log4cpp::Category& category = Quillet::LoggerCategory("HostileLeak");
    EXPECT_FALSE(category.isPriorityEnabled(Quillet::LogLevel::Info));
    EXPECT_TRUE(category.isPriorityEnabled(Quillet::LogLevel::Warn));
    category.setPriority(log4cpp::Priority::NOTSET);
    fs::remove_all(scratch / "Config");
    FFWrapper("HostileNoConfig").Dispose();
    fs::current_path(old);
    EXPECT_LE(descriptorsAfter, descriptors + 2);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(residentAfter - resident, 1024) << "kB";
#else
    (void)residentAfter;
    (void)resident;
#endif
}

} // namespace

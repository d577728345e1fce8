// What a file, a URL or a caller may do to the player without taking the
// application down: refused opens say why, damaged files end cleanly,
// stalled servers and FIFOs never block past the timeout, a close from
// another thread ends any open, and thousands of players leak nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFWrapper.h"
#include "source/file_source_support.h"
#include "support/EnginePlayback.h"
#include "support/StallingHttpServer.h"
#include "support/TestMedia.h"

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
    const std::string path = "hostile.fifo";
    if (!fs::exists(path))
        mkfifo(path.c_str(), 0600);
    return path;
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
    const char* clip;
    const char* ffmpegArgs;
    size_t keepBytes;   // 0: whole file
    unsigned mutations; // bytes overwritten after the first 64
};

std::ostream& operator<<(std::ostream& os, const DamagedFile& d) { return os << d.clip; }

std::string SizeChangingTs()
{
    const std::string path = "dmg_sizes.ts";
    if (!fs::exists(path)) {
        const auto a = MakeClip("dmg_size_a.ts", "-f lavfi -i testsrc2=size=64x48:rate=10 -t 1 -c:v mpeg2video -f mpegts");
        const auto b = MakeClip("dmg_size_b.ts", "-f lavfi -i testsrc2=size=96x64:rate=10 -t 1 -c:v mpeg2video -f mpegts");
        Run("cat " + a + " " + b + " > partial-" + path + " && mv partial-" + path + " " + path);
    }
    return path;
}

std::string Damaged(const DamagedFile& d, size_t index)
{
    const std::string source =
        std::string(d.clip) == "dmg_sizes.ts" ? SizeChangingTs() : MakeClip(d.clip, d.ffmpegArgs);
    std::ifstream in(source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (d.keepBytes > 0 && d.keepBytes < bytes.size())
        bytes.resize(d.keepBytes);
    std::mt19937 random(static_cast<unsigned>(1000 + index));
    for (unsigned i = 0; i < d.mutations && bytes.size() > 64; ++i)
        bytes[64 + random() % (bytes.size() - 64)] = static_cast<char>(random());
    const std::string out = "damaged-" + std::to_string(index) + "-" + d.clip;
    std::ofstream(out, std::ios::binary) << bytes;
    return out;
}

class DamagedFiles : public testing::TestWithParam<DamagedFile> {};

TEST_P(DamagedFiles, AreRefusedOrPlayToACleanEnd)
{
    // A fixed seed per case: the same bytes are damaged in every run.
    const std::string path = Damaged(GetParam(), GetParam().keepBytes + GetParam().mutations);
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
    const auto start = Clock::now();
    bool clean = false;
    while (!clean && SecondsSince(start) < 120.0) {
        player.ReadAudioFromInterface();
        const int size = player.ReadFrameGetSize(&frame);
        if (size > 0) {
            EXPECT_EQ(static_cast<size_t>(size), static_cast<size_t>(frame.width) * frame.height * 3);
        }
        clean = size < 0 || ended;
        if (size == 0)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(clean) << path << " neither ended nor was refused";
    player.SetAudioInterface(nullptr);
}

constexpr const char* kWebm = "-f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
                              "-c:v libvpx-vp9 -deadline realtime -c:a libopus";
constexpr const char* kAvi = "-f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 2 "
                             "-c:v mpeg4 -c:a pcm_s16le";
constexpr const char* kMp4 = "-f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
                             "-c:v libx264 -bf 2 -c:a aac";

INSTANTIATE_TEST_SUITE_P(
    Clips, DamagedFiles,
    testing::Values(DamagedFile{"dmg.webm", kWebm, 500, 0}, DamagedFile{"dmg.webm", kWebm, 1000, 0},
                    DamagedFile{"dmg.webm", kWebm, 10000, 0}, DamagedFile{"dmg_sizes.ts", "", 500, 0},
                    DamagedFile{"dmg_sizes.ts", "", 1000, 0}, DamagedFile{"dmg_sizes.ts", "", 10000, 0},
                    DamagedFile{"dmg.avi", kAvi, 500, 0}, DamagedFile{"dmg.avi", kAvi, 1000, 0},
                    DamagedFile{"dmg.avi", kAvi, 10000, 0}, DamagedFile{"dmg.mp4", kMp4, 0, 40},
                    DamagedFile{"dmg.webm", kWebm, 0, 40}, DamagedFile{"dmg_sizes.ts", "", 0, 200},
                    DamagedFile{"dmg.avi", kAvi, 0, 200}),
    [](const testing::TestParamInfo<DamagedFile>& info) {
        std::string name = info.param.clip;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name + (info.param.keepBytes ? "_cut" + std::to_string(info.param.keepBytes)
                                            : "_mutated" + std::to_string(info.param.mutations));
    });

// ---------------------------------------------------------------- stalls and cancels

std::string OneMegabyteOfTs()
{
    const std::string clip = Quillet::FileSourceTest::PlainTs();
    std::ifstream in(clip, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string body;
    while (body.size() < (1u << 20))
        body += bytes;
    body.resize(1u << 20);
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

size_t OpenDescriptors()
{
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

long ResidentKilobytes()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(PlayerResources, TwoThousandPlayersWithLoggingConfiguredLeaveDescriptorsAndMemoryFlat)
{
    const auto old = fs::current_path();
    const auto scratch = old / "leak-config";
    fs::create_directories(scratch / "Config");
    std::ofstream(scratch / "Config/FFLogger.conf") << "log4cpp.rootCategory=ERROR, file\n"
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
    const size_t descriptors = OpenDescriptors();
    const long resident = ResidentKilobytes();
    cycle(2000);
    const size_t descriptorsAfter = OpenDescriptors();
    const long residentAfter = ResidentKilobytes();
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

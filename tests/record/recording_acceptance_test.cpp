// The recording as a 24/7 user meets it, through `ffwrap record` against the
// test camera: files that survive kill -9 and full disks, segments by time
// with retention. (A restarted camera's follow-on files are checked packet by
// packet in camera_acceptance_test, their names in the scenario table, a
// B-frame source without decode times in recording_facade_test.)
#include <fnmatch.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "camera/RtspTestServer.h"
#include "support/MediaOracle.h"
#include "support/WaitFor.h"

using namespace Quillet;
using namespace Quillet::Testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kFps = 25; // the test camera's rate, one key picture a second

std::vector<std::string> FilesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The last "N pictures" of the tool's progress line, -1 before the first.
int PicturesShown(const ToolProcess& tool)
{
    const std::string text = tool.Log();
    const size_t at = text.rfind(" pictures");
    if (at == std::string::npos || at == 0)
        return -1;
    const size_t from = text.find_last_not_of("0123456789", at - 1) + 1; // npos + 1 == 0
    return from < at ? std::stoi(text.substr(from, at - from)) : -1;
}

class CameraRecording : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(kFfwrap))
            GTEST_SKIP() << "ffwrap is not built in this tree";
        if (!QuilletTest::RtspTestServer::Available())
            GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
        folder = FreshFolder("record_accept");
        ASSERT_TRUE(server.Start()) << server.Error();
    }
    void TearDown() override
    {
        for (const auto& m : mounts)
            umount2(m.c_str(), MNT_DETACH);
        fs::remove_all(folder);
    }
    // `ffwrap record` of the camera into `out` (its folder is made), logging beside the folders.
    std::unique_ptr<ToolProcess> Record(const std::string& out, std::vector<std::string> options = {},
                                        rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        fs::create_directories((folder / out).parent_path());
        std::vector<std::string> argv{kFfwrap, "record", server.Url() + "/test", (folder / out).string()};
        argv.insert(argv.end(), options.begin(), options.end());
        std::string log = out + ".log";
        std::replace(log.begin(), log.end(), '/', '_');
        return std::make_unique<ToolProcess>(argv, (folder / log).string(), fileSizeLimit);
    }
    // A small RAM disk (root only); false where it cannot be made.
    bool SmallVolume(const fs::path& at, const char* size)
    {
        fs::create_directories(at);
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0)
            return false;
        mounts.push_back(at.string());
        return true;
    }

    QuilletTest::RtspTestServer server;
    fs::path folder;
    std::vector<std::string> mounts;
};

// Seven recordings side by side, so the camera time is spent once: three
// killed with SIGKILL, one segmented, one with retention, and two that fill
// a volume, with and without the free-space guard. Every file each leaves
// plays; a file in progress up to its last fragment.
TEST_F(CameraRecording, KilledSegmentedRetainedAndFullVolumeRecordingsAllPlay)
{
    const std::vector<std::string> killed{"k.mp4", "k.mkv", "k.ts"};
    std::vector<std::unique_ptr<ToolProcess>> kills;
    for (const auto& name : killed)
        kills.push_back(Record(name));
    auto segmented = Record("seg/cam.mp4", {"--segment", "6", "--name-pattern", "cam1_{n}_%Y%m%d-%H%M%S.mp4",
                                            "--sync-points", (folder / "seg.csv").string()});
    auto retained = Record("keep/cam.mp4", {"--segment", "2", "--name-pattern", "k{n}.mp4", "--keep-bytes", "150000"});
    const std::vector<std::pair<std::string, const char*>> full{{"guarded", "100000"}, {"unguarded", "0"}};
    std::vector<std::unique_ptr<ToolProcess>> fills;
    for (const auto& [name, minFree] : full) {
        // Unprivileged, a file-size limit stands in for the volume.
        const bool volume = SmallVolume(folder / name, "320k");
        fills.push_back(Record(name + "/cam.mp4",
                               volume ? std::vector<std::string>{"--segment", "2", "--min-free", minFree}
                                      : std::vector<std::string>{"--min-free", minFree},
                               volume ? RLIM_INFINITY : 320000));
    }

    // The recordings' time counts from their first pictures: starting the
    // tools on a busy machine takes seconds of its own.
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(kills.begin(), kills.end(), [](const auto& t) { return PicturesShown(*t) > 0; }) &&
               PicturesShown(*segmented) > 0 && PicturesShown(*retained) > 0;
    }, 30s)) << "a recording never received a picture";
    // Ten seconds of pictures each, however long the loaded machine takes to read them.
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(kills.begin(), kills.end(), [](const auto& t) { return PicturesShown(*t) >= 10 * kFps; });
    }, 60s)) << "the killed recordings stopped receiving";
    for (size_t i = 0; i < killed.size(); ++i) {
        kills[i]->Kill();
        const int received = PicturesShown(*kills[i]);
        ASSERT_GT(received, 5 * kFps) << killed[i];
        EXPECT_GE(ProbeVideo((folder / killed[i]).string()).frames, received - 2 * kFps) << killed[i];
    }
    // Stopped once the fourth segment has begun (about 18 s in): the fifth is 6 s away.
    const auto segmentsBegun = [&] {
        size_t begun = 0;
        for (const auto& f : FilesIn(folder / "seg"))
            begun += f.find("/cam1_") != std::string::npos;
        return begun;
    };
    ASSERT_TRUE(WaitFor([&] { return segmentsBegun() >= 4; }, 60s)) << "the segmented recording stopped";
    segmented->Signal(SIGINT);
    retained->Signal(SIGTERM);
    EXPECT_EQ(segmented->Wait(), 0);
    EXPECT_EQ(retained->Wait(), 0);

    const auto segments = FilesIn(folder / "seg");
    ASSERT_EQ(segments.size(), 4u);
    const char* pattern = "*/cam1_[1-4]_20[0-9][0-9][0-9][0-9][0-9][0-9]-[0-9][0-9][0-9][0-9][0-9][0-9].mp4";
    for (size_t i = 0; i < segments.size(); ++i) {
        const Probe p = ProbeVideo(segments[i]);
        EXPECT_EQ(fnmatch(pattern, segments[i].c_str(), 0), 0) << segments[i];
        EXPECT_TRUE(p.startsWithKey) << segments[i];
        if (i < 3) {
            EXPECT_NEAR(p.duration, 6.0, 1.0) << segments[i];
        }
    }
    std::ifstream csv(folder / "seg.csv");
    const std::string points((std::istreambuf_iterator<char>(csv)), std::istreambuf_iterator<char>());
    EXPECT_NE(points.find("cam1_4_"), std::string::npos) << "sync points name every segment";

    // About 19 s in 2 s segments, at most 150 kB kept: the oldest went.
    const auto kept = FilesIn(folder / "keep");
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), 6u);
    EXPECT_FALSE(fs::exists(folder / "keep/k1.mp4"));
    for (const auto& f : kept)
        EXPECT_GT(ProbeVideo(f).frames, 0) << f;

    for (size_t i = 0; i < full.size(); ++i) {
        EXPECT_EQ(fills[i]->Wait(), 1) << full[i].first << ": a file error ends the tool";
        int frames = 0;
        for (const auto& f : FilesIn(folder / full[i].first)) {
            const int n = ProbeVideo(f).frames;
            EXPECT_GT(n, 0) << f;
            frames += n;
        }
        EXPECT_GT(frames, 3 * kFps) << full[i].first;
    }
}

} // namespace

// Files that cannot be written while the application plays: a path the
// process cannot create even as root (its parent is a regular file), and a
// disk that fills up in the middle of a file (a file-size limit in a forked
// child). Either way the application hears FileSinkError once, recording
// stops, every picture still arrives, and the file finished before the
// failure is complete.
#include "recording_engine_support.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <fstream>

#include "facade/FFFileWrapper.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace RecordTest {
namespace {

using namespace Quillet::FFWrapperCLI;

// What one recording-while-playing run saw from the application's side.
struct PlayOutcome {
    int pictures = 0;
    int fileSinkErrors = 0;
    int otherMessages = 0;
    bool stoppedWhilePlaying = false; // recording off while pictures still came
    bool ended = false;               // end of stream reached in time
};

// Plays `clip` with decoding while recording into `first`; after `splitAt`
// pictures the recording goes on in `second` (none when empty).
PlayOutcome RecordWhilePlaying(const std::string& clip, const std::string& first, const std::string& second,
                               int splitAt)
{
    PlayOutcome out;
    std::mutex lock;
    ManagedEventDelegate handler([&](const EventArgs& e) {
        std::lock_guard<std::mutex> guard(lock);
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e)) {
            if (m->message == FFMessageType::FileSinkError)
                ++out.fileSinkErrors;
            else if (m->message != FFMessageType::EndOfStream)
                ++out.otherMessages;
        }
    });
    FFFileWrapper recorder("RecordingWriteFailureTest");
    recorder.RegisterFFEventCallback(handler);
    if (!recorder.OpenSource(clip))
        return out;
    recorder.DecodeVideo(AV_PIX_FMT_BGR24);
    recorder.SaveToVideoFile(first);
    if (!recorder.StartEngine())
        return out;
    FrameData frame;
    int seenError = 0;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        const int size = recorder.ReadFrameGetSize(&frame);
        if (size < 0) {
            out.ended = true;
            break;
        }
        if (size == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        ++out.pictures;
        if (out.pictures == splitAt && !second.empty()) {
            // A split asked for before the first drain would leave the first
            // file empty: let the write thread open it and drain at least
            // once (it drains every 100 ms) before moving on.
            bool pending = false;
            for (int i = 0; i < 200 && !recorder.IsVideoSave(pending); ++i)
                std::this_thread::sleep_for(10ms);
            std::this_thread::sleep_for(250ms);
            recorder.SplitFile(second);
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            seenError = out.fileSinkErrors;
        }
        if (seenError > 0 && !out.stoppedWhilePlaying) {
            bool pending = false;
            out.stoppedWhilePlaying = !recorder.IsVideoSave(pending) && !pending;
        }
        std::this_thread::sleep_for(5ms);
    }
    recorder.Dispose();
    std::lock_guard<std::mutex> guard(lock);
    return out;
}

class RecordingWriteFailure : public RecordFolder {
protected:
    void SetUp() override
    {
        RecordFolder::SetUp();
        clipName = BFrameClip("rec_failure_bf_6s.mp4", 6, 25);
        source = VideoPackets(Demux(clipName));
    }

    // The file holds the source's video from the first packet on, unchanged,
    // ends just before a key packet, and decodes cleanly.
    void ExpectCompletePrefix(const std::string& path)
    {
        const ProbeResult r = Probe(path);
        ExpectWellFormed(r, path);
        ASSERT_FALSE(r.video.empty());
        ASSERT_LT(r.video.size(), source.size());
        EXPECT_EQ(Hashes(r.video),
                  Hashes(std::vector<std::shared_ptr<FFPacket>>(source.begin(),
                                                                source.begin() + static_cast<long>(r.video.size()))));
        EXPECT_EQ(source[r.video.size()]->Get()->flags & AV_PKT_FLAG_KEY, AV_PKT_FLAG_KEY);
        EXPECT_FALSE(r.audio.empty());
        EXPECT_EQ(DecodeErrors(path), "");
    }

    std::string clipName;
    std::vector<std::shared_ptr<FFPacket>> source;
};

TEST_F(RecordingWriteFailure, PathUnderARegularFileFailsAtOnceAndAfterASplit)
{
    // Root may write anywhere it has a folder, but no file can live under a
    // regular file.
    std::ofstream(In("plain")) << "not a folder";

    // From the start: nothing is ever recorded.
    const PlayOutcome first = RecordWhilePlaying(clipName, In("plain/first.mp4"), "", 0);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(first.pictures, static_cast<int>(source.size()));
    EXPECT_EQ(first.fileSinkErrors, 1);
    EXPECT_EQ(first.otherMessages, 0);
    EXPECT_TRUE(first.stoppedWhilePlaying);

    // After a split: the file before it is complete.
    const PlayOutcome split = RecordWhilePlaying(clipName, In("ok.mp4"), In("plain/next.mp4"), 30);
    EXPECT_TRUE(split.ended);
    EXPECT_EQ(split.pictures, static_cast<int>(source.size()));
    EXPECT_EQ(split.fileSinkErrors, 1);
    EXPECT_EQ(split.otherMessages, 0);
    EXPECT_TRUE(split.stoppedWhilePlaying);
    ExpectCompletePrefix(In("ok.mp4"));
    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"ok.mp4", "plain"}));
}

TEST_F(RecordingWriteFailure, DiskFillingUpDuringTheSecondFileKeepsTheFirstAndPlaybackGoesOn)
{
    // A longer clip: the source reads a few seconds ahead of the pictures
    // shown, so the first file ends well after the split is asked for.
    const std::string longClip = BFrameClip("rec_failure_bf_16s.mp4", 16, 25);
    const auto longSource = VideoPackets(Demux(longClip));
    const auto clipSize = static_cast<rlim_t>(std::filesystem::file_size(longClip));
    // The first file holds the read-ahead, a quarter of the clip or so; the
    // second would hold the rest and outgrows the limit well before the end.
    const rlim_t limit = clipSize * 9 / 20;
    const std::string first = In("first.mp4"), second = In("second.mp4");

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only this process meets the limit; writes past it fail with EFBIG
        // instead of killing the process.
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        const rlimit fsize{limit, limit};
        setrlimit(RLIMIT_FSIZE, &fsize);
        const PlayOutcome o = RecordWhilePlaying(longClip, first, second, 5);
        const int result[5] = {o.pictures, o.fileSinkErrors, o.otherMessages, o.stoppedWhilePlaying ? 1 : 0,
                               o.ended ? 1 : 0};
        const bool sent = write(fds[1], result, sizeof result) == static_cast<ssize_t>(sizeof result);
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    int result[5] = {};
    const ssize_t got = read(fds[0], result, sizeof result);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof result));

    EXPECT_EQ(result[4], 1) << "no end of stream";
    EXPECT_EQ(result[0], static_cast<int>(longSource.size())) << "pictures";
    EXPECT_EQ(result[1], 1) << "FileSinkError messages";
    EXPECT_EQ(result[2], 0) << "other messages";
    EXPECT_EQ(result[3], 1) << "recording still on after the failure";

    ASSERT_LT(std::filesystem::file_size(first), limit);
    source = longSource;
    ExpectCompletePrefix(first);
    // The second file stopped at the limit: it never grew past it.
    ASSERT_TRUE(std::filesystem::exists(second));
    EXPECT_LE(std::filesystem::file_size(second), limit);
}

} // namespace
} // namespace RecordTest

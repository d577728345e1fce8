// Event handlers that call back into the library, as one table. Each row raises one event of
// one facade and, from its handler, makes one call on that facade or on another one. The call
// must come back (every row runs on a watchdog: a hang fails the row and ends the run instead
// of sticking), answer what the same call answers outside a handler (never a made-up neutral
// value), report a stop of the handler's own thread as StopResult::AfterHandler and any other as
// Done, and leave both facades stoppable and disposable with no library thread left running.
// Rows pick distinct lock paths: the application's thread inside a read (end of stream), the
// recording's write thread (sync points, file errors), a publishing worker, a camera's read
// thread, a log line, and the serving and remote facades.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/RtspTestServer.h"
#include "core/FFThread.h"
#include "facade/FFFileWrapper.h"
#include "facade/FFServingWrappers.h"
#include "facade/FFWrapper.h"
#include "facade/Logging.h"
#include "serving/ServingTestSupport.h"
#include "support/EnginePlayback.h"
#include "support/Probe.h"
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

enum class Kind { Player, Recorder, FileServer, PlayServer, Remote };
enum class Event { EndOfStream, SyncPoint, FileError, Publishing, LogLine, Connection };
enum class Call { Read, Sound, Seek, PauseContinue, Query, Split, StopRecording, Stop, Close, Dispose };
enum class On { Same, Other };

struct Row {
    Kind kind;
    Event event;
    Call call;
    On on;
};

const char* Text(Kind k)
{
    static const char* const names[] = {"Player", "Recorder", "FileServer", "PlayServer", "Remote"};
    return names[static_cast<int>(k)];
}
const char* Text(Event e)
{
    static const char* const names[] = {"EndOfStream", "SyncPoint", "FileError", "Publishing", "LogLine", "Connection"};
    return names[static_cast<int>(e)];
}
const char* Text(Call c)
{
    static const char* const names[] = {"Read", "Sound", "Seek", "PauseContinue", "Query",
                                        "Split", "StopRecording", "Stop", "Close", "Dispose"};
    return names[static_cast<int>(c)];
}

std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    const Row& r = info.param;
    return std::string(Text(r.kind)) + "_" + Text(r.event) + "_" + Text(r.call) + (r.on == On::Same ? "_Same" : "_Other");
}

// 3 s at 25 pictures/s, 160x120, with sound; key pictures every 5. Long enough that a file read
// at the reader's pace is still being recorded when its first sync point comes.
std::string Clip()
{
    return MakeClip("handler_table_3s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                         "sine=frequency=440:sample_rate=48000 -t 3 -c:v libx264 -bf 2 -g 5 "
                                         "-pix_fmt yuv420p -c:a aac");
}

// Whether the handler's thread is the one the row's stop ends.
bool StopsOwnThread(const Row& r)
{
    if (r.on == On::Other)
        return false;
    switch (r.event) {
    case Event::SyncPoint:
    case Event::FileError: // the write thread: a stop, close or dispose of the recorder ends it
        return r.call == Call::StopRecording || r.call == Call::Stop || r.call == Call::Close ||
               r.call == Call::Dispose;
    case Event::Connection: // the camera's read thread
        return r.call == Call::Stop || r.call == Call::Close || r.call == Call::Dispose;
    case Event::Publishing: // a publishing worker ends with its engine only
        return r.call == Call::Dispose;
    default: // the application's own thread
        return false;
    }
}

class HandlerTable : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("quillet_handlers_" + std::to_string(::getpid()) + "_" +
                                           std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(dir);
        clip = Clip();
    }
    void TearDown() override
    {
        SetLogCallback(nullptr);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    void Build(const Row& r);
    void Trigger(const Row& r);
    void Act(const Row& r, const EventArgs& e);
    void Check(bool ok, const std::string& what)
    {
        if (ok)
            return;
        std::lock_guard<std::mutex> guard(lock);
        problems += what + "; ";
    }

    fs::path dir;
    std::string clip;
    std::unique_ptr<FFWrapper> facade;       // raises the event
    FFFileWrapper* recorder = nullptr;       // the same facade, when it records
    FFOutgoingHandle client;                 // for the serving facades and the remote player
    std::unique_ptr<FFPlayServerWrapper> feeder; // feeds the remote player
    std::unique_ptr<FFFileWrapper> other;    // a second facade, recording the same clip
    RecordingHost sound, otherSound;
    QuilletTest::RtspTestServer camera;

    std::atomic<bool> acted{false};   // the handler made its call
    std::atomic<bool> finished{false}; // ... and it came back
    std::mutex lock;
    std::string problems; // guarded by `lock`
    int innerRead = 7;    // what a read inside the handler answered
};

void HandlerTable::Build(const Row& r)
{
    auto prepare = [&](FFWrapper& f, RecordingHost& host) {
        f.EnableAudio(true);
        f.DecodeVideo(AV_PIX_FMT_BGR24);
        f.SetAudioInterface(&host);
    };
    // A server serves the clip to one client; it becomes the facade that raises the event.
    const auto serve = [&](auto made) {
        made->SetSource(clip);
        client = made->AddClient();
        auto* server = made.get();
        facade = std::move(made);
        return server;
    };
    switch (r.kind) {
    case Kind::Player:
        facade = std::make_unique<FFWrapper>("HandlerTable");
        break;
    case Kind::Recorder:
        facade = std::make_unique<FFFileWrapper>("HandlerTable");
        recorder = static_cast<FFFileWrapper*>(facade.get());
        break;
    case Kind::FileServer:
        recorder = serve(std::make_unique<FFFileServerWrapper>("HandlerTable"));
        break;
    case Kind::PlayServer:
        serve(std::make_unique<FFPlayServerWrapper>("HandlerTable"));
        break;
    case Kind::Remote:
        feeder = std::make_unique<FFPlayServerWrapper>("HandlerTableFeeder");
        feeder->SetSource(clip);
        client = feeder->AddClient();
        ASSERT_TRUE(client && feeder->StartEngine());
        facade = std::make_unique<FFRemoteWrapper>("HandlerTable");
        facade->EnableAudio(false);
        facade->DecodeVideo(AV_PIX_FMT_BGR24);
        break;
    }
    if (r.event == Event::Connection) {
        ASSERT_TRUE(camera.Start()) << camera.Error();
        facade->SetNetworkTimeout(2.0);
        ASSERT_TRUE(facade->OpenSource(camera.Url() + "/test"));
        facade->DecodeVideo(AV_PIX_FMT_BGR24);
    } else if (r.kind == Kind::Player || r.kind == Kind::Recorder) {
        ASSERT_TRUE(facade->OpenSource(clip));
        prepare(*facade, sound);
    } else if (r.kind != Kind::Remote) {
        prepare(*facade, sound);
    }
    other = std::make_unique<FFFileWrapper>("HandlerTableOther");
    ASSERT_TRUE(other->OpenSource(clip));
    prepare(*other, otherSound);
    other->SaveToVideoFile((dir / "other.mp4").string());
    ASSERT_TRUE(other->StartEngine());

    facade->RegisterFFEventCallback(ManagedEventDelegate([this, r](const EventArgs& e) {
        const auto* m = dynamic_cast<const FFMessageEventArgs*>(&e);
        const auto* c = dynamic_cast<const SourceConnectionStatusArgs*>(&e);
        const bool mine = (r.event == Event::EndOfStream && m && m->message == FFMessageType::EndOfStream) ||
                          (r.event == Event::FileError && m && m->message == FFMessageType::FileSinkError) ||
                          (r.event == Event::SyncPoint && dynamic_cast<const SyncPointEventArgs*>(&e)) ||
                          (r.event == Event::Publishing && dynamic_cast<const PublishingStatusArgs*>(&e)) ||
                          (r.event == Event::Connection && c && c->status == ConnectionStatus::ConnectionLost);
        if (mine && !acted.exchange(true))
            Act(r, e);
    }));
    if (r.event == Event::LogLine)
        SetLogCallback(
            [this, r](const LogLine& line) {
                if (line.category == "HandlerTable" && line.text.find("Continue") != std::string::npos &&
                    !acted.exchange(true))
                    Act(r, FFMessageEventArgs());
            },
            LogSeverity::Info);
    // Last: a file server starts reading (and recording) at once.
    if (recorder && (r.event == Event::SyncPoint || r.event == Event::FileError))
        recorder->SaveToVideoFile(r.event == Event::FileError ? "/proc/no-such-folder/rec.mp4" : (dir / "rec.mp4").string());
}

void HandlerTable::Act(const Row& r, const EventArgs&)
{
    FFWrapper& target = r.on == On::Same ? *facade : *other;
    FFFileWrapper* targetRecorder = r.on == On::Same ? recorder : other.get();
    const StopResult expected = StopsOwnThread(r) ? StopResult::AfterHandler : StopResult::Done;
    const std::string where = std::string(Text(r.call)) + " from the handler: ";
    FrameData data;
    switch (r.call) {
    case Call::Read:
        if (r.on == On::Same) {
            innerRead = target.ReadFrameGetSize(&data);
            Check(innerRead <= 0 || (data.size == innerRead && data.width == 160), where + "a picture that is not one");
        } else {
            Check(WaitFor([&] { return target.ReadFrameGetSize(&data) > 0; }, 20s) && data.width == 160,
                  where + "no picture from a running player");
        }
        break;
    case Call::Sound:
        Check(WaitFor([&] { return target.ReadAudioFromInterface() >= 0.0; }, 20s), where + "no sound");
        break;
    case Call::Seek:
        target.Seek(0.5);
        Check(WaitFor([&] { return target.ReadFrameGetSize(&data) > 0; }, 20s) && std::abs(data.frameTime - 0.5) < 0.1,
              where + "the next picture is not the one sought");
        break;
    case Call::PauseContinue: {
        target.Pause();
        const bool paused = target.IsPause();
        target.Continue();
        Check(paused && !target.IsPause(), where + "IsPause does not follow Pause and Continue");
        break;
    }
    case Call::Query:
        if (r.event == Event::Publishing)
            Check(target.GetPublishingStatus().size() == 1, where + "the output is not listed");
        Check(target.Width() == 160 && target.Height() == 120, where + "wrong size");
        if (r.kind != Kind::Remote)
            Check(std::abs(target.GetDuration() - 3.0) < 0.1, where + "wrong duration");
        break;
    case Call::Split:
        targetRecorder->SplitFile((dir / "split.mp4").string());
        break;
    case Call::StopRecording: {
        Check(targetRecorder->StopVideoSave() == expected, where + "wrong StopResult");
        bool pending = true;
        Check(!targetRecorder->IsVideoSave(pending) && !pending, where + "still recording");
        break;
    }
    case Call::Stop:
        Check(target.StopEngine() == expected, where + "wrong StopResult");
        break;
    case Call::Close:
        Check(target.CloseSource() == expected, where + "wrong StopResult");
        Check(target.Width() == 0, where + "a source is still open");
        break;
    case Call::Dispose:
        Check(target.Dispose() == expected, where + "wrong StopResult");
        Check(target.Width() == -1 && target.ReadFrameGetSize(&data) == 0, where + "an engine is still there");
        break;
    }
    finished = true;
}

void HandlerTable::Trigger(const Row& r)
{
    FrameData data;
    std::vector<PictureHash> pictures;
    auto readOnce = [&] {
        if (r.kind == Kind::Remote && client) {
            const auto batch = client->GetNextPacket();
            if (!batch.empty())
                FeedBlock(static_cast<FFRemoteWrapper&>(*facade), batch, pictures);
            return facade->ReadFrameGetSize(&data);
        }
        if (client)
            client->GetNextPacket();
        return facade->ReadFrameGetSize(&data);
    };
    if (r.kind != Kind::Remote) {
        // A file server records from its open on: its first sync point's
        // handler may have stopped or disposed of it before this start.
        const bool started = facade->StartEngine();
        ASSERT_TRUE(started || acted.load()) << "the start failed with no handler run";
    }
    switch (r.event) {
    case Event::EndOfStream: {
        int last = 0;
        ASSERT_TRUE(WaitFor([&] { return (last = readOnce()) < 0; }, 60s)) << "no end of stream";
        if (r.call == Call::Read && r.on == On::Same) {
            EXPECT_EQ(innerRead, facade->ReadFrameGetSize(&data)) << "a read inside the handler answered otherwise";
        }
        break;
    }
    case Event::Publishing:
        ASSERT_TRUE(facade->StartPublishing("rtmp://127.0.0.1:" + std::to_string(QuilletTest::UnusedLocalPort()) + "/live/x"));
        [[fallthrough]];
    case Event::SyncPoint:
    case Event::FileError:
        ASSERT_TRUE(WaitFor([&] {
            readOnce();
            return finished.load();
        }, 60s)) << "the event never came";
        break;
    case Event::LogLine:
        ASSERT_TRUE(WaitFor([&] {
            facade->Continue();
            return finished.load();
        }, 20s));
        SetLogCallback(nullptr);
        break;
    case Event::Connection:
        ASSERT_TRUE(WaitFor([&] { return readOnce() > 0; }, 30s)) << "no picture from the camera";
        camera.Kill();
        ASSERT_TRUE(WaitFor([&] { return finished.load(); }, 60s)) << "the camera's loss never came";
        break;
    }
    EXPECT_TRUE(finished.load());
    // After the handler: what its call left behind, seen from outside.
    if (r.call == Call::Split && r.on == On::Same) {
        EXPECT_TRUE(WaitFor([&] {
            readOnce();
            return fs::exists(dir / "split.mp4") && fs::file_size(dir / "split.mp4") > 0;
        }, 30s)) << "the split never began its file:" << FolderListing(dir.string());
    }
}

TEST_P(HandlerTable, TheCallComesBackWithTheTrueAnswerAndEverythingStopsAfterwards)
{
    const Row r = GetParam();
    if (r.event == Event::Connection && !QuilletTest::RtspTestServer::Available())
        GTEST_SKIP() << "/usr/bin/python3 cannot load GStreamer's RTSP server";
    FinishesWithin(120s, "the row", [&] {
        Build(r);
        if (!HasFatalFailure())
            Trigger(r);
    });
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(problems, "");
    }
    // The application stops and disposes of everything, each call on the watchdog too.
    FinishesWithin(120s, "stopping and disposing afterwards", [&] {
        for (FFWrapper* f : {facade.get(), static_cast<FFWrapper*>(other.get()), static_cast<FFWrapper*>(feeder.get())}) {
            if (!f)
                continue;
            EXPECT_EQ(f->StopEngine(), StopResult::Done);
            EXPECT_EQ(f->CloseSource(), StopResult::Done);
            EXPECT_EQ(f->Dispose(), StopResult::Done);
        }
        facade.reset();
        other.reset();
        feeder.reset();
    });
    EXPECT_TRUE(Quillet::threadex::WaitUntilNoWorkers(30s)) << "a library thread outlived its facade";
    if (r.call == Call::StopRecording && r.on == On::Same && r.event == Event::SyncPoint) {
        EXPECT_GT(ProbeDuration((dir / "rec.mp4").string()), 0.0) << "the recording stopped in the handler is not whole";
    }
}

constexpr Row kRows[] = {
    // The application's thread, inside the read that reports the end.
    {Kind::Player, Event::EndOfStream, Call::Read, On::Same},
    {Kind::Player, Event::EndOfStream, Call::Sound, On::Same},
    {Kind::Player, Event::EndOfStream, Call::Stop, On::Same},
    {Kind::Player, Event::EndOfStream, Call::Close, On::Same},
    {Kind::Player, Event::EndOfStream, Call::Dispose, On::Same},
    {Kind::Player, Event::EndOfStream, Call::Read, On::Other},
    {Kind::Player, Event::EndOfStream, Call::Seek, On::Other},
    {Kind::Player, Event::EndOfStream, Call::PauseContinue, On::Other},
    {Kind::Player, Event::EndOfStream, Call::StopRecording, On::Other},
    {Kind::Player, Event::EndOfStream, Call::Dispose, On::Other},
    // The recording's write thread.
    {Kind::Recorder, Event::SyncPoint, Call::StopRecording, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Split, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Stop, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Close, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Dispose, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::PauseContinue, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Query, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Read, On::Same},
    {Kind::Recorder, Event::SyncPoint, Call::Sound, On::Other},
    {Kind::Recorder, Event::SyncPoint, Call::Close, On::Other},
    {Kind::Recorder, Event::SyncPoint, Call::Split, On::Other},
    {Kind::Recorder, Event::FileError, Call::StopRecording, On::Same},
    {Kind::Recorder, Event::FileError, Call::Dispose, On::Same},
    {Kind::Recorder, Event::FileError, Call::Stop, On::Other},
    // A publishing output's worker.
    {Kind::Player, Event::Publishing, Call::Query, On::Same},
    {Kind::Player, Event::Publishing, Call::Stop, On::Same},
    {Kind::Player, Event::Publishing, Call::Dispose, On::Same},
    // A log line, delivered on the thread that wrote it.
    {Kind::Player, Event::LogLine, Call::PauseContinue, On::Same},
    {Kind::Player, Event::LogLine, Call::Stop, On::Same},
    {Kind::Player, Event::LogLine, Call::Dispose, On::Other},
    // The serving facades and the remote player.
    {Kind::FileServer, Event::SyncPoint, Call::StopRecording, On::Same},
    {Kind::FileServer, Event::SyncPoint, Call::Query, On::Same},
    {Kind::FileServer, Event::SyncPoint, Call::Dispose, On::Same},
    {Kind::PlayServer, Event::EndOfStream, Call::PauseContinue, On::Same},
    {Kind::PlayServer, Event::EndOfStream, Call::Dispose, On::Same},
    {Kind::Remote, Event::EndOfStream, Call::Read, On::Same},
    {Kind::Remote, Event::EndOfStream, Call::PauseContinue, On::Same},
    {Kind::Remote, Event::EndOfStream, Call::Dispose, On::Same},
    // A camera's read thread, the connection lost and being retried.
    {Kind::Player, Event::Connection, Call::Stop, On::Same},
    {Kind::Player, Event::Connection, Call::Close, On::Same},
    {Kind::Recorder, Event::Connection, Call::Dispose, On::Same},
};

INSTANTIATE_TEST_SUITE_P(Rows, HandlerTable, ::testing::ValuesIn(kRows), RowName);

// The application stops a recorder (on a thread of its own) while a handler on the write thread
// keeps calling the recorder: the stop waits for that thread with no lock held that the handler
// needs, so both come back. Each stop of the recorder, in turn; last, a handler that disposes of
// the recorder itself as the application does: the application's dispose still returns only once
// the handler has (it may destroy what the handler uses).
TEST(HandlerWhileStopping, AHandlerCallingItsRecorderWhileTheApplicationStopsItComesBack)
{
    const std::string clip = Clip();
    const fs::path dir = fs::temp_directory_path() / ("quillet_stopping_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::vector<std::function<StopResult(FFFileWrapper&)>> stops = {
        [](FFFileWrapper& r) { return r.StopVideoSave(); },
        [](FFFileWrapper& r) { return r.StopEngine(); },
        [](FFFileWrapper& r) { return r.CloseSource(); },
        [](FFFileWrapper& r) { return r.Dispose(); },
        [](FFFileWrapper& r) { return r.Dispose(); },
    };
    for (size_t i = 0; i < stops.size(); ++i) {
        auto recorder = std::make_unique<FFFileWrapper>("HandlerWhileStopping");
        const bool disposesItself = i + 1 == stops.size();
        std::atomic<bool> inHandler{false}, stopping{false}, handlerDone{false}, disposedInHandler{false};
        recorder->RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
            if (!dynamic_cast<const SyncPointEventArgs*>(&e) || inHandler.exchange(true))
                return;
            if (disposesItself) {
                recorder->Dispose();
                disposedInHandler = true;
            }
            WaitFor([&] { return stopping.load(); }, 20s);
            // Calls that need the recorder's engine while the stop is under way.
            const auto until = std::chrono::steady_clock::now() + 300ms;
            while (std::chrono::steady_clock::now() < until) {
                recorder->IsPause();
                bool pending = false;
                recorder->IsVideoSave(pending);
            }
            handlerDone = true;
        }));
        ASSERT_TRUE(recorder->OpenSource(clip));
        recorder->DecodeVideo(AV_PIX_FMT_BGR24);
        recorder->SaveToVideoFile((dir / ("stop" + std::to_string(i) + ".mp4")).string());
        ASSERT_TRUE(recorder->StartEngine());
        FrameData data;
        ASSERT_TRUE(WaitFor([&] {
            recorder->ReadFrameGetSize(&data);
            return inHandler.load();
        }, 60s)) << "no sync point before stop " << i;
        if (disposesItself) {
            ASSERT_TRUE(WaitFor([&] { return disposedInHandler.load(); }, 60s));
        }
        StopResult result = StopResult::AfterHandler;
        FinishesWithin(60s, "a stop while its write thread's handler calls the recorder", [&] {
            stopping = true;
            result = stops[i](*recorder);
        });
        EXPECT_TRUE(handlerDone.load()) << "stop " << i;
        EXPECT_EQ(result, StopResult::Done) << "stop " << i;
        recorder.reset();
    }
    EXPECT_TRUE(Quillet::threadex::WaitUntilNoWorkers(30s));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

} // namespace

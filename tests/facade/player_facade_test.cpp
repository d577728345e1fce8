// The player facade's own part: forwarding to its engine, the engine's native
// records arriving as the facade's event arguments (unknown ones dropped),
// handlers (registered, unregistered, raised inside the application's read
// call) and every operation after Dispose(). Handlers calling back into the
// facade from each of its threads are tabled in handler_table_test; pictures,
// their buffer and end of stream against the ffmpeg tools in
// engine/playback_table_test.
#include <atomic>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFEngine.h"
#include "facade/FFWrapper.h"
#include "support/FacadeEvents.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

std::string Clip()
{
    return MakeClip("facade_h264.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                       "sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 -bf 2 -g 10 "
                                       "-pix_fmt yuv420p -c:a aac");
}

// A facade over an engine the test keeps a handle on, to raise records through.
struct FacadeWithEngine {
    FacadeWithEngine() : engine(new Quillet::FFEngine("FacadeTest")), player(engine) {}
    Quillet::FFEngine* engine; // owned by the facade
    FFWrapper player;
};

} // namespace

TEST(PlayerFacade, ForwardsToItsEngineAndEndOfStreamReachesRegisteredHandlersOnceInsideTheReadCall)
{
    FFWrapper player("FacadeTest");
    std::atomic<int> ends{0}, unregistered{0};
    std::atomic<bool> insideRead{false}, raisedInsideRead{false};
    ManagedEventDelegate gone([&](const EventArgs&) { ++unregistered; });
    ManagedEventDelegate handler([&](const EventArgs& e) {
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e); m && m->message == FFMessageType::EndOfStream) {
            ++ends;
            raisedInsideRead = insideRead.load();
            EXPECT_GE(player.GetDuration(), 0.0); // a handler may call back into the facade
        }
    });
    player.RegisterFFEventCallback(gone);
    player.RegisterFFEventCallback(handler);
    ManagedEventDelegate copyOfGone = gone; // a copy is the same handler
    player.UnRegisterFFEventCallback(copyOfGone);
    ASSERT_TRUE(player.OpenSource(Clip()));
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(player.StartEngine());
    EXPECT_EQ(player.ReadFrameGetSize(nullptr), 0);
    int w = 0, h = 0;
    player.GetDimensions(w, h);
    EXPECT_EQ(std::vector<int>({player.Width(), player.Height(), w, h}), std::vector<int>({160, 120, 160, 120}));
    player.Pause();
    EXPECT_TRUE(player.IsPause());
    player.Continue();
    EXPECT_FALSE(player.IsPause());

    FrameData data;
    ASSERT_TRUE(WaitFor([&] {
        insideRead = true;
        const int size = player.ReadFrameGetSize(&data);
        insideRead = false;
        return size < 0;
    }, 60s));
    EXPECT_EQ(ends.load(), 1);
    EXPECT_TRUE(raisedInsideRead.load());
    EXPECT_EQ(unregistered.load(), 0);
    // Afterwards nothing more, and the picture fields keep the last picture.
    const double lastTime = data.frameTime;
    EXPECT_EQ(player.ReadFrameGetSize(&data), 0);
    EXPECT_EQ(data.frameTime, lastTime);
}

TEST(PlayerFacade, EveryOperationHasANeutralResultAfterDispose)
{
    FFWrapper player("FacadeTest");
    ASSERT_TRUE(player.OpenSource(Clip()));
    player.Dispose();
    player.Dispose(); // idempotent
    FrameData data;
    EXPECT_FALSE(player.OpenSource(Clip()));
    EXPECT_FALSE(player.StartEngine());
    int w = 0, h = 0, rate = 7, bits = 7, channels = 7;
    bool pending = true;
    player.GetDimensions(w, h);
    EXPECT_EQ(std::vector<int>({player.ReadFrameGetSize(&data), player.Width(), player.Height(), player.RenderWidth(), w, h}),
              std::vector<int>({0, -1, -1, -1, -1, -1}));
    EXPECT_EQ(std::vector<double>({player.GetDuration(), player.GetSeekTime(), player.ReadAudioFromInterface()}),
              std::vector<double>({0.0, -1.0, 0.0}));
    EXPECT_FALSE(player.IsOOB(1.0, pending) || pending);
    EXPECT_FALSE(player.GetAudioFormat(rate, bits, channels));
    EXPECT_EQ(rate, 7);
    EXPECT_FALSE(player.IsOptimizeSeek() || player.IsReady());
    player.Seek(1.0);
    player.Pause();
    player.Continue();
    player.StopEngine();
    player.CloseSource();
}

TEST(PlayerFacadeEvents, NativeRecordsArriveAsTheFacadesArgumentsAndUnknownOnesAreDropped)
{
    FacadeEvents got;
    FacadeWithEngine f;
    got.Attach(f.player);

    // 2017-03-15 08:30:45.6789012 UTC: the last tick digit is below a microsecond.
    const auto when = sys_days{2017y / March / 15} + 8h + 30min + 45s + 678901us;
    Quillet::FFSyncPointArgs sent[2];
    sent[0].videoTime = 12.5, sent[0].isGood = true, sent[0].fileName = "rec_0001.mp4", sent[0].PCTimeUTC = 0;
    sent[1].videoTime = 3600.04, sent[1].isGood = false, sent[1].fileName = "Kamera_Süd_2017.mkv";
    sent[1].PCTimeUTC = duration_cast<nanoseconds>(when.time_since_epoch()).count() / 100 + 2;
    for (auto& native : sent)
        f.engine->SendFFEvent(&native);
    for (auto status : {Quillet::ConnectionStatus::Connected, Quillet::ConnectionStatus::ConnectionLost,
                        Quillet::ConnectionStatus::Disconnected}) {
        Quillet::FFSourceConnectionStatusArgs native(status, "camera " + std::to_string(static_cast<int>(status)));
        f.engine->SendFFEvent(&native);
    }
    Quillet::FFMissedPicturesArgs missed;
    missed.missed = 17, missed.total = 40;
    f.engine->SendFFEvent(&missed);
    Quillet::FFEventArgs unknown(static_cast<Quillet::FFEventType>(9));
    f.engine->SendFFEvent(&unknown);
    f.engine->SendFFEvent(nullptr);
    f.engine->SendMessageEvent(FFMessageType::SyncPointReady);
    f.engine->Error("test", std::runtime_error("broken pipe"), FFMessageType::SourceError);

    // Status and message numbers as the application sees them, nothing else.
    EXPECT_EQ(got.Text(), "0 camera 0\n2 camera 2\n1 camera 1\nmissed 17 of 40\nmessage 5\nmessage 2\n");
    const auto points = got.SyncPoints();
    ASSERT_EQ(points.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NEAR(points[i].videoTime.count(), sent[i].videoTime, 1e-9);
        EXPECT_EQ(points[i].isGood, sent[i].isGood);
        EXPECT_EQ(points[i].fileName, sent[i].fileName);
    }
    EXPECT_EQ(points[0].PCTimeUTC, system_clock::time_point{}) << "1970-01-01 00:00:00 UTC";
    EXPECT_EQ(points[1].PCTimeUTC, when);
}

// The player facade's own part: forwarding, event handlers (registered,
// unregistered, raised inside the application's read call) and every
// operation after Dispose(). Pictures, their buffer and end of stream against the ffmpeg
// tools are tabled in engine/playback_table_test.
#include <atomic>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "facade/FFWrapper.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

std::string Clip()
{
    return MakeClip("facade_h264.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                       "sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 -bf 2 -g 10 "
                                       "-pix_fmt yuv420p -c:a aac");
}

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
    EXPECT_EQ(player.ReadFrameGetSize(&data), 0);
    EXPECT_EQ(player.Width(), -1);
    EXPECT_EQ(player.Height(), -1);
    EXPECT_EQ(player.RenderWidth(), -1);
    int w = 0, h = 0;
    player.GetDimensions(w, h);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(player.GetDuration(), 0.0);
    EXPECT_EQ(player.GetSeekTime(), -1.0);
    EXPECT_EQ(player.ReadAudioFromInterface(), 0.0);
    bool pending = true;
    EXPECT_FALSE(player.IsOOB(1.0, pending));
    EXPECT_FALSE(pending);
    int rate = 7, bits = 7, channels = 7;
    EXPECT_FALSE(player.GetAudioFormat(rate, bits, channels));
    EXPECT_EQ(rate, 7);
    EXPECT_FALSE(player.IsOptimizeSeek());
    EXPECT_FALSE(player.IsReady());
    player.Seek(1.0);
    player.Pause();
    player.Continue();
    player.StopEngine();
    player.CloseSource();
}

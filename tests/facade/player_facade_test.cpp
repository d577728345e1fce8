// The player facade as an application uses it: pictures into FrameData,
// end of stream, events and their handlers, and everything after Dispose().
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFWrapper.h"
#include "facade/facade_test_support.h"
#include "support/TestMedia.h"

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

TEST(PlayerFacade, PicturesReuseTheApplicationsBufferAndEndOfStreamComesOnceInsideTheCall)
{
    FFWrapper player("FacadeTest");
    std::atomic<int> endEvents{0};
    std::atomic<bool> insideRead{false};
    std::atomic<bool> endRaisedInsideRead{false};
    ManagedEventDelegate handler([&](const EventArgs& e) {
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e); m && m->message == FFMessageType::EndOfStream) {
            ++endEvents;
            endRaisedInsideRead = insideRead.load();
            // An application handler may call back into the facade from inside the event.
            EXPECT_GE(player.GetDuration(), 0.0);
            EXPECT_FALSE(player.IsPause());
        }
    });
    player.RegisterFFEventCallback(handler);
    ASSERT_TRUE(player.OpenSource(Clip()));
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(player.StartEngine());

    EXPECT_EQ(player.ReadFrameGetSize(nullptr), 0);

    FrameData data;
    ASSERT_GT(NextPicture(player, data), 0);
    EXPECT_EQ(data.width, 160);
    EXPECT_EQ(data.height, 120);
    EXPECT_EQ(data.size, 160 * 120 * 3);
    EXPECT_TRUE(data.firstFrame);
    const uint8_t* storage = data.frame.data();

    int pictures = 1;
    int size;
    for (;;) {
        insideRead = true;
        size = NextPicture(player, data);
        insideRead = false;
        if (size <= 0)
            break;
        ++pictures;
        EXPECT_EQ(data.frame.data(), storage) << "same-size pictures must reuse the buffer";
        EXPECT_FALSE(data.firstFrame);
    }
    EXPECT_EQ(size, -1);
    EXPECT_EQ(pictures, 25);
    EXPECT_EQ(endEvents.load(), 1);
    EXPECT_TRUE(endRaisedInsideRead.load());
    // Afterwards nothing more, and the picture fields keep the last picture.
    const double lastTime = data.frameTime;
    EXPECT_EQ(player.ReadFrameGetSize(&data), 0);
    EXPECT_EQ(data.frameTime, lastTime);
}

TEST(PlayerFacade, UnregisteredHandlersHearNothing)
{
    FFWrapper player("FacadeTest");
    std::atomic<int> first{0}, second{0};
    ManagedEventDelegate a([&](const EventArgs&) { ++first; });
    ManagedEventDelegate b([&](const EventArgs&) { ++second; });
    player.RegisterFFEventCallback(a);
    player.RegisterFFEventCallback(b);
    ManagedEventDelegate copyOfA = a; // a copy is the same handler
    player.UnRegisterFFEventCallback(copyOfA);
    ASSERT_TRUE(player.OpenSource(Clip()));
    player.DecodeVideo(AV_PIX_FMT_RGB24);
    ASSERT_TRUE(player.StartEngine());
    FrameData data;
    while (NextPicture(player, data) > 0) {
    }
    EXPECT_EQ(first.load(), 0);
    EXPECT_GE(second.load(), 1);
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

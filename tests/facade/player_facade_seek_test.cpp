// Seeking and pausing as the application sees it through the player facade:
// the frame status while a seek is pending, the time written back into the
// seek, the band test, and sound resuming at the sought picture.
#include <chrono>
#include <cstring>
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
    return MakeClip("facade_seek.mp4", "-f lavfi -i testsrc2=size=96x64:rate=25 -f lavfi -i "
                                       "sine=frequency=440:sample_rate=48000 -t 3 -c:v libx264 -bf 2 -g 25 "
                                       "-keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac");
}

class OneBufferHost : public Quillet::AudioInterface {
public:
    bool WantsAudio() override { return true; }
    Quillet::AudioBufferList GetBuffers() override { return {std::make_shared<std::vector<uint8_t>>(4096)}; }
    void SubmitBuffers(Quillet::AudioBufferList filled) override { blocks += static_cast<int>(filled.size()); }
    int blocks = 0;
};

} // namespace

TEST(PlayerFacadeSeek, PausedSeekReportsItsStateAndSoundFollowsThePictureAfterContinue)
{
    FFWrapper player("FacadeSeekTest");
    OneBufferHost host;
    ASSERT_TRUE(player.OpenSource(Clip()));
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    EXPECT_TRUE(player.IsOptimizeSeek());
    ASSERT_TRUE(player.StartEngine());
    player.SetAudioInterface(&host);
    FrameData data;
    ASSERT_GT(NextPicture(player, data), 0);
    EXPECT_EQ(data.status, 0);

    player.Pause();
    EXPECT_TRUE(player.IsPause());
    player.Seek(1.5);
    ASSERT_GT(NextPicture(player, data), 0);
    EXPECT_NEAR(data.frameTime, 1.52, 1e-3);
    EXPECT_TRUE(data.firstFrame);
    EXPECT_EQ(data.status, 6) << "the paused seek stays pending";
    EXPECT_DOUBLE_EQ(player.GetSeekTime(), data.frameTime) << "the time reached is written back";
    EXPECT_EQ(player.ReadAudioFromInterface(), -1.0) << "no sound while paused";

    // Nothing more while paused; the band around the picture becomes known.
    const double shown = data.frameTime;
    for (int i = 0; i < 1000 && !player.IsPause(); ++i) {
        EXPECT_EQ(player.ReadFrameGetSize(&data), 0);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(player.IsPause());
    EXPECT_EQ(data.frameTime, shown);
    bool pending = true;
    EXPECT_FALSE(player.IsOOB(1.3, pending));
    EXPECT_FALSE(pending) << "the facade starts `pending` at false";
    EXPECT_TRUE(player.IsOOB(2.5, pending));

    // Continue plays on from the picture, and sound starts there too.
    player.Continue();
    EXPECT_FALSE(player.IsPause());
    ASSERT_GT(NextPicture(player, data), 0);
    EXPECT_GE(data.frameTime, shown - 1e-6);
    double t = -1.0;
    for (int i = 0; i < 2000 && t < 0; ++i) {
        t = player.ReadAudioFromInterface();
        if (t < 0)
            std::this_thread::sleep_for(2ms);
    }
    EXPECT_GE(t, shown - 1e-6);
    EXPECT_LT(t, shown + 1024.0 / 48000 + 1e-6);
    EXPECT_GE(host.blocks, 1);
}

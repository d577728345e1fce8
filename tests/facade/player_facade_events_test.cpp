// Native event records raised through the engine's messenger arrive at the
// application as the facade's event arguments: sync points with their wall
// clock, connection status, messages; unknown records are dropped; handlers
// run on the reporting thread and may call the facade from there.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFEngine.h"
#include "facade/FFWrapper.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// Keeps copies of what the application was handed.
struct Received {
    std::mutex lock;
    std::vector<SyncPointEventArgs> syncPoints;
    std::vector<SourceConnectionStatusArgs> statuses;
    std::vector<FFMessageType> messages;
    int others = 0;

    ManagedEventDelegate Handler()
    {
        return ManagedEventDelegate([this](const EventArgs& e) {
            std::lock_guard<std::mutex> guard(lock);
            if (auto* s = dynamic_cast<const SyncPointEventArgs*>(&e))
                syncPoints.push_back(*s);
            else if (auto* c = dynamic_cast<const SourceConnectionStatusArgs*>(&e))
                statuses.push_back(*c);
            else if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
                messages.push_back(m->message);
            else
                ++others;
        });
    }
};

// A facade over an engine the test keeps a handle on, to raise records through.
struct FacadeWithEngine {
    FacadeWithEngine() : engine(new Quillet::FFEngine("FacadeEventTest")), player(engine) {}
    Quillet::FFEngine* engine; // owned by the facade
    FFWrapper player;
};

int64_t Ticks(system_clock::time_point t)
{
    return duration_cast<nanoseconds>(t.time_since_epoch()).count() / 100;
}

} // namespace

TEST(PlayerFacadeEvents, NativeRecordsArriveAsTheFacadesArgumentsAndUnknownOnesAreDropped)
{
    FacadeWithEngine f;
    Received got;
    f.player.RegisterFFEventCallback(got.Handler());

    // 2017-03-15 08:30:45.6789012 UTC: the last tick digit is below a microsecond.
    const auto when = sys_days{2017y / March / 15} + 8h + 30min + 45s + 678901us;
    const std::vector<std::tuple<double, bool, std::string, int64_t>> points{
        {12.5, true, "rec_0001.mp4", 0}, {3600.04, false, "Kamera_Süd_2017.mkv", Ticks(when) + 2}};
    for (const auto& [videoTime, good, name, ticks] : points) {
        Quillet::FFSyncPointArgs native;
        native.videoTime = videoTime, native.isGood = good, native.fileName = name, native.PCTimeUTC = ticks;
        f.engine->SendFFEvent(&native);
    }
    for (auto status : {Quillet::ConnectionStatus::Connected, Quillet::ConnectionStatus::ConnectionLost,
                        Quillet::ConnectionStatus::Disconnected}) {
        Quillet::FFSourceConnectionStatusArgs native(status, "camera " + std::to_string(static_cast<int>(status)));
        f.engine->SendFFEvent(&native);
    }
    Quillet::FFEventArgs unknown(static_cast<Quillet::FFEventType>(9));
    f.engine->SendFFEvent(&unknown);
    f.engine->SendFFEvent(nullptr);
    f.engine->SendMessageEvent(FFMessageType::SyncPointReady);
    f.engine->Error("test", std::runtime_error("broken pipe"), FFMessageType::SourceError);

    ASSERT_EQ(got.syncPoints.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NEAR(got.syncPoints[i].videoTime.count(), std::get<0>(points[i]), 1e-9);
        EXPECT_EQ(got.syncPoints[i].isGood, std::get<1>(points[i]));
        EXPECT_EQ(got.syncPoints[i].fileName, std::get<2>(points[i]));
    }
    EXPECT_EQ(got.syncPoints[0].PCTimeUTC, system_clock::time_point{}) << "1970-01-01 00:00:00 UTC";
    EXPECT_EQ(got.syncPoints[1].PCTimeUTC, when);
    ASSERT_EQ(got.statuses.size(), 3u);
    EXPECT_EQ(got.statuses[0].status, ConnectionStatus::Connected);
    EXPECT_EQ(got.statuses[0].message, "camera 0");
    EXPECT_EQ(got.statuses[1].status, ConnectionStatus::ConnectionLost);
    EXPECT_EQ(got.statuses[1].message, "camera 2");
    EXPECT_EQ(got.statuses[2].status, ConnectionStatus::Disconnected);
    EXPECT_EQ(got.others, 0);
    EXPECT_EQ(got.messages, (std::vector<FFMessageType>{FFMessageType::SyncPointReady, FFMessageType::SourceError}));
}

TEST(PlayerFacadeEvents, HandlerOnAnotherThreadMayCallBackIntoTheFacadeWhileItIsBusy)
{
    const auto clip = Quillet::Testing::MakeClip(
        "facade_events.mp4", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -bf 2 -g 10 -pix_fmt yuv420p");
    FacadeWithEngine f;
    std::atomic<int> calls{0};
    std::atomic<bool> sawDuration{false};
    std::thread::id handlerThread;
    ManagedEventDelegate handler([&](const EventArgs& e) {
        if (!dynamic_cast<const SourceConnectionStatusArgs*>(&e))
            return;
        handlerThread = std::this_thread::get_id();
        // Each of these waits for whatever facade call the application thread is in.
        sawDuration = sawDuration || f.player.GetDuration() > 1.5;
        f.player.IsPause();
        bool pending = false;
        f.player.IsOOB(1.0, pending);
        f.player.Width();
        ++calls;
    });
    f.player.RegisterFFEventCallback(handler);
    ASSERT_TRUE(f.player.OpenSource(clip));
    f.player.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(f.player.StartEngine());

    // The application thread keeps the facade busy.
    std::atomic<bool> stop{false};
    std::thread application([&] {
        FrameData data;
        while (!stop) {
            if (f.player.ReadFrameGetSize(&data) < 0)
                f.player.Seek(0.5);
            f.player.GetSeekTime();
            std::this_thread::sleep_for(200us);
        }
    });

    std::thread::id reporter;
    auto done = std::async(std::launch::async, [&] {
        reporter = std::this_thread::get_id();
        for (int i = 0; i < 50; ++i) {
            Quillet::FFSourceConnectionStatusArgs native(Quillet::ConnectionStatus::Connected, "again");
            f.engine->SendFFEvent(&native);
        }
    });
    const bool finished = done.wait_for(20s) == std::future_status::ready;
    stop = true;
    application.join();
    if (!finished) {
        ADD_FAILURE() << "a handler calling back into the facade deadlocked";
        std::abort();
    }
    EXPECT_EQ(calls.load(), 50);
    EXPECT_TRUE(sawDuration.load());
    EXPECT_EQ(handlerThread, reporter) << "handlers run on the reporting thread";
    f.player.Dispose();
}

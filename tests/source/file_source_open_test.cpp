// Opening: containers without a duration, reopening, and stopping or closing
// while the thread is pushing. Refused inputs are in facade/hostile_input_test.
#include <thread>

#include "source/FFSource.h"
#include "source/file_source_support.h"

namespace Quillet::FileSourceTest {
namespace {

using namespace std::chrono_literals;

TEST(FileSourceOpen, DurationIsSearchedWhenTheContainerHasNone)
{
    TestMessenger messenger;
    FFSource source;
    source.SetMessenger(&messenger);
    ASSERT_TRUE(source.OpenSource(PaddedTs()));
    EXPECT_NEAR(source.GetDuration(), ProbeDuration(PlainTs()), 0.1);

    // The search must leave the demuxer at the start: every packet still comes.
    RecordingDest dest;
    source.ConnectNode(&dest);
    source.StartReadThread();
    ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 1, 60s));
    source.StopReadThread();
    EXPECT_EQ(dest.PacketsBefore(FFType::EOSInfo), ProbePackets(PaddedTs()));
}

TEST(FileSourceStop, StopAndCloseWhilePushingNeverDeadlock)
{
    for (int i = 0; i < 25; ++i) {
        TestMessenger messenger;
        auto source = std::make_unique<FFSource>();
        source->SetMessenger(&messenger);
        RecordingDest dest;
        ASSERT_TRUE(source->OpenSource(AvMp4()));
        source->ConnectNode(&dest);
        // Every third run the destination is full, so the thread sits in the
        // flow-control wait when it is told to stop.
        if (i % 3 == 0)
            dest.status = FFStatus::Full;
        source->StartReadThread();
        if (i % 3 == 0) {
            // Wait until the thread is polling its full destination.
            for (int k = 0; k < 2000 && dest.statusQueries == 0; ++k)
                std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        if (i % 4 == 1)
            source->Seek(0.5 * (i % 5));
        bool ok = true;
        switch (i % 3) {
        case 0:
            ok = FinishesWithin(20s, [&] { source->StopReadThread(); });
            break;
        case 1:
            ok = FinishesWithin(20s, [&] { source->CloseSource(); });
            break;
        default:
            ok = FinishesWithin(20s, [&] { source.reset(); });
            break;
        }
        ASSERT_TRUE(ok);
        if (source) {
            EXPECT_FALSE(source->IsReading());
            source->DisconnectNode();
        }
        // A record held back by a full destination is delivered, not lost,
        // when the thread is stopped.
        if (i % 3 == 0) {
            EXPECT_GE(dest.Records().size(), 2u);
        }
    }
}

TEST(FileSourceStop, RestartAfterStopContinuesWhereItStopped)
{
    TestMessenger messenger;
    FFSource source;
    source.SetMessenger(&messenger);
    RecordingDest dest;
    ASSERT_TRUE(source.OpenSource(AvMp4()));
    source.ConnectNode(&dest);
    for (int round = 0; round < 50 && dest.Count(FFType::EOSInfo) == 0; ++round) {
        source.StartReadThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        source.StopReadThread();
    }
    source.StartReadThread();
    ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 1));
    source.StopReadThread();
    EXPECT_EQ(dest.PacketsBefore(FFType::EOSInfo), ProbePackets(AvMp4()));
}

TEST(FileSourceStop, ConnectAndDisconnectWhileReading)
{
    TestMessenger messenger;
    FFSource source;
    source.SetMessenger(&messenger);
    RecordingDest first;
    ASSERT_TRUE(source.OpenSource(AvMp4()));
    source.ConnectNode(&first);
    source.StartReadThread();
    for (int i = 0; i < 20; ++i) {
        RecordingDest extra;
        source.ConnectNode(&extra);
        std::this_thread::sleep_for(1ms);
        source.RemoveNode(&extra);
        extra.DisconnectFromSource();
        const auto records = extra.Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.front()->GetType(), FFType::AVCodec);
    }
    ASSERT_TRUE(first.WaitFor(FFType::EOSInfo, 1));
    source.StopReadThread();
    EXPECT_EQ(first.PacketsBefore(FFType::EOSInfo), ProbePackets(AvMp4()));
}

} // namespace
} // namespace Quillet::FileSourceTest

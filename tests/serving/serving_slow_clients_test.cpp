// Clients that fall behind: a live client skips ahead to the newest key frame
// and never holds the source back; a playback client holds the source back
// and loses nothing.
#include <algorithm>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serialize/FFOutgoing.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kVideoKey = 1;
constexpr int32_t kCodec = 2;

size_t CountAttribute(const std::vector<WireRecord>& records, int32_t attribute)
{
    return static_cast<size_t>(std::count_if(records.begin(), records.end(),
                                             [&](const WireRecord& r) { return r.attribute == attribute; }));
}

} // namespace

TEST(ServingSlowClients, LiveClientThatNeverReadsHoldsAtMostOneGroupOfPictures)
{
    const std::string clip = LongServingClip();
    const size_t packets = ProbePacketCount(clip);
    FFFileServerWrapper server("ServingLive");
    server.SetSource(clip);
    FFOutgoingHandle idle = server.AddClient();
    ASSERT_TRUE(idle);
    Quillet::FFOutgoing* queue = idle->GetOut();
    ASSERT_NE(queue, nullptr);
    ASSERT_TRUE(server.StartEngine());

    // The file is read at full speed: the live queue never makes it wait.
    size_t most = 0;
    // One group of pictures is 10 video packets and 0.4 s of audio (about 20
    // packets); everything before the newest key frame is gone.
    WaitFor([&] {
        most = std::max(most, queue->QueuedRecords());
        return false;
    }, 1000ms);
    EXPECT_LT(most, 40u) << "of " << packets << " packets";

    queue->SetNumberOutgoingPackets(1000);
    const std::vector<WireRecord> left = SplitBatch(idle->GetNextPacket());
    ASSERT_FALSE(left.empty());
    EXPECT_LE(CountAttribute(left, kVideoKey), 1u);
    // The stream description survives every drop and stays in front.
    EXPECT_EQ(left.front().type, 5);
    EXPECT_EQ(left.front().attribute, kCodec);
    EXPECT_EQ(CountAttribute(left, kCodec), 1u);
    if (left.size() > 1) {
        EXPECT_EQ(left[1].attribute, kVideoKey);
    }
    EXPECT_EQ(left.back().type, 4); // end of stream came through
}

TEST(ServingSlowClients, PlaybackClientHoldsTheSourceBackAndReceivesEverything)
{
    const std::string clip = LongServingClip();
    const size_t packets = ProbePacketCount(clip);
    ASSERT_GT(packets, 350u);
    FFPlayServerWrapper server("ServingPlayback");
    server.SetSource(clip);
    FFOutgoingHandle slow = server.AddClient();
    ASSERT_TRUE(slow);
    Quillet::FFOutgoing* queue = slow->GetOut();
    ASSERT_TRUE(server.StartEngine());

    // The source fills the queue to its limit and then waits.
    ASSERT_TRUE(WaitFor([&] { return queue->QueuedRecords() > 300; }));
    std::this_thread::sleep_for(300ms);
    const size_t held = queue->QueuedRecords();
    EXPECT_GE(held, 301u);
    EXPECT_LE(held, 305u);

    std::vector<WireRecord> records;
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : SplitBatch(slow->GetNextPacket()))
            records.push_back(std::move(r));
        EXPECT_LE(queue->QueuedRecords(), 305u);
        return !records.empty() && records.back().type == 4;
    }));
    EXPECT_EQ(records.size(), packets + 2);
}

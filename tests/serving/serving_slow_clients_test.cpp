// A client that never reads while its server reads a 12 s clip at full
// speed. A live server's client never holds the source back: it keeps at
// most one group of pictures (10 video packets and 0.4 s of audio, about 20
// packets) behind the stream description, and the end of stream comes
// through. A playback server's client holds the source back at the queue's
// limit and then receives everything. (Which records each queue keeps is
// tabled in serialize/FFOutgoingTest.)
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serialize/FFOutgoing.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

template <typename Server>
FFOutgoingHandle IdleClient(Server& server)
{
    server.SetSource(LongServingClip());
    FFOutgoingHandle client = server.AddClient();
    EXPECT_TRUE(client && server.StartEngine());
    return client;
}

} // namespace

TEST(ServingSlowClients, LiveClientThatNeverReadsHoldsAtMostOneGroupOfPictures)
{
    FFFileServerWrapper server("ServingLive");
    FFOutgoingHandle idle = IdleClient(server);
    ASSERT_TRUE(idle);
    size_t most = 0;
    WaitFor([&] {
        most = std::max(most, idle->GetOut()->QueuedRecords());
        return false;
    }, 1000ms);
    EXPECT_LT(most, 40u);

    idle->GetOut()->SetNumberOutgoingPackets(1000);
    const std::vector<WireRecord> left = SplitBatch(idle->GetNextPacket());
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back().type, 4); // end of stream came through
    EXPECT_LE(std::count_if(left.begin(), left.end(), [](const WireRecord& r) { return r.attribute == 1; }), 1);
    // The stream description survives every drop and stays in front, once.
    EXPECT_EQ(left.front().type, 5);
    EXPECT_EQ(std::count_if(left.begin(), left.end(), [](const WireRecord& r) { return r.type == 5; }), 1);
    if (left.size() > 2) {
        EXPECT_EQ(left[1].attribute, 1) << "a video key packet follows the description";
    }
}

TEST(ServingSlowClients, PlaybackClientHoldsTheSourceBackAndReceivesEverything)
{
    FFPlayServerWrapper server("ServingPlayback");
    FFOutgoingHandle slow = IdleClient(server);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(WaitFor([&] { return slow->GetOut()->QueuedRecords() > 300; }));
    std::this_thread::sleep_for(300ms);
    size_t most = slow->GetOut()->QueuedRecords();
    EXPECT_GE(most, 301u);

    std::vector<WireRecord> records;
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : SplitBatch(slow->GetNextPacket()))
            records.push_back(std::move(r));
        most = std::max(most, slow->GetOut()->QueuedRecords());
        return !records.empty() && records.back().type == 4;
    }));
    EXPECT_LE(most, 305u);
    const size_t packets = ProbePacketCount(LongServingClip());
    ASSERT_GT(packets, 350u);
    EXPECT_EQ(records.size(), packets + 2);
}

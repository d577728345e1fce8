// The serializer: each record flattened once and shared by every client
// queue, each new queue starting with a fresh stream description, and nodes
// destroyed while connected. (Cascaded disconnection is in node_graph_test,
// the status across queues in FFOutgoingTest.)
#include <gtest/gtest.h>

#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFSerialize.h"
#include "serialize/FFStreamOutgoing.h"
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

std::vector<uint8_t> Bytes(const FFSerializedData& s)
{
    return std::vector<uint8_t>(s.data.get(), s.data.get() + s.size);
}

struct SerializerGraph : ::testing::Test {
    ~SerializerGraph() override { source.DisconnectNode(); }
    ManualSource<FFData> source;
    FFSerialize serializer;
};

} // namespace

TEST_F(SerializerGraph, SerializesEachRecordOnceAndEveryQueueGetsTheSameBytes)
{
    CapturingDest<FFSerializedData> a, b;
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    source.ConnectNode(&serializer);
    for (FFDestNode<FFSerializedData>* q : std::initializer_list<FFDestNode<FFSerializedData>*>{&a, &b, &live, &play})
        serializer.ConnectNode(q);

    source.Push(Video(9, true, 33));
    source.Push(std::make_shared<FFEOSInfo>());
    ASSERT_EQ(a.Count(), 2u); // one flattened record each, shared
    EXPECT_EQ(a.Records()[0].get(), b.Records()[0].get());
    EXPECT_EQ(a.Records()[1].get(), b.Records()[1].get());

    play.SetNumberOutgoingPackets(1);
    auto fromLive = live.GetNextPacket();
    auto fromPlay = play.GetNextPacket();
    ASSERT_TRUE(fromLive && fromPlay);
    EXPECT_EQ(Bytes(*fromLive), Bytes(*fromPlay));
    EXPECT_EQ(Bytes(*fromLive), Bytes(*a.Records()[0]));
    source.DisconnectNode(); // before `a` and `b` go
}

TEST_F(SerializerGraph, EveryNewQueueStartsWithAFreshDescription)
{
    EXPECT_EQ(serializer.GetMetaInfo(), nullptr); // no source yet
    FFPlayOutgoing early, late, none;
    serializer.ConnectNode(&none);
    EXPECT_EQ(none.QueuedRecords(), 0u);
    source.ConnectNode(&serializer); // a source without description gives nothing
    EXPECT_EQ(none.QueuedRecords(), 0u);
    serializer.RemoveNode(&none);

    source.DisconnectNode();
    source.meta = Codec(1, 12800, true, 4);
    serializer.ConnectNode(&early);
    source.ConnectNode(&serializer);
    EXPECT_EQ(early.QueuedRecords(), 1u);

    source.Push(Video(0, true, 8));
    serializer.ConnectNode(&late);
    ASSERT_EQ(late.QueuedRecords(), 1u);
    auto first = late.GetNextPacket();
    ASSERT_TRUE(first);
    EXPECT_EQ(Bytes(*first), Bytes(*source.meta->Serialize()));
}

TEST_F(SerializerGraph, DestroyingNodesLeavesNoDanglingConnection)
{
    auto q = std::make_unique<FFPlayOutgoing>();
    {
        FFSerialize s;
        source.ConnectNode(&s);
        s.ConnectNode(q.get());
        auto gone = std::make_unique<FFStreamOutgoing>();
        s.ConnectNode(gone.get());
        gone.reset();
        source.Push(Video(0, false, 8));
        EXPECT_EQ(q->QueuedRecords(), 1u);
    }
    EXPECT_FALSE(source.HasDestinations());
    EXPECT_EQ(q->GetParent(), nullptr);
}

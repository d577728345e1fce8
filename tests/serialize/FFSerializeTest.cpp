// The serializer: each record flattened once and shared by every client
// queue, each new queue starting with a fresh stream description, status and
// disconnection across the queues.
#include <gtest/gtest.h>

#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFSerialize.h"
#include "serialize/FFStreamOutgoing.h"
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// Counts how often it is flattened.
class CountingEOS : public FFEOSInfo {
public:
    std::shared_ptr<FFSerializedData> Serialize() const override
    {
        ++serializations;
        return FFEOSInfo::Serialize();
    }
    mutable std::atomic<int> serializations{0};
};

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

    auto eos = std::make_shared<CountingEOS>();
    source.Push(Video(9, true, 33));
    source.Push(eos);
    EXPECT_EQ(eos->serializations, 1);
    ASSERT_EQ(a.Count(), 2u);
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
    auto rebuilt = CreateFromSerialized(first->data.get(), static_cast<size_t>(first->size));
    auto* avc = dynamic_cast<FFAVCodec*>(rebuilt.get());
    ASSERT_TRUE(avc && avc->audio);
    EXPECT_EQ(avc->video->Context()->width, 320);
    EXPECT_EQ(avc->video->Context()->extradata_size, 4);
    EXPECT_EQ(avc->audio->Context()->sample_rate, 48000);
}

TEST_F(SerializerGraph, StatusIsFullWhileAnyQueueMustBeWaitedFor)
{
    EXPECT_EQ(serializer.GetStatus(), FFStatus::Ready); // no queue
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    serializer.ConnectNode(&live);
    serializer.ConnectNode(&play);
    for (size_t i = 0; i <= FFPlayOutgoing::kMaxQueuedRecords; ++i)
        serializer.FFProcess(std::make_shared<FFEOSInfo>());
    EXPECT_EQ(serializer.GetStatus(), FFStatus::Full);
    play.GetNextPacket();
    EXPECT_EQ(serializer.GetStatus(), FFStatus::Ready);
    serializer.DisconnectNode();
}

TEST_F(SerializerGraph, CascadedDisconnectionEmptiesAndReleasesTheQueues)
{
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    source.ConnectNode(&serializer);
    serializer.ConnectNode(&live);
    serializer.ConnectNode(&play);
    source.Push(Video(0, false, 8));
    ASSERT_EQ(live.QueuedRecords(), 1u);

    source.DisconnectNode();
    EXPECT_EQ(live.QueuedRecords(), 0u);
    EXPECT_EQ(play.QueuedRecords(), 0u);
    EXPECT_EQ(live.GetParent(), nullptr);
    EXPECT_EQ(play.GetParent(), nullptr);
    EXPECT_EQ(serializer.GetParent(), nullptr);
    EXPECT_FALSE(serializer.HasDestinations());
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

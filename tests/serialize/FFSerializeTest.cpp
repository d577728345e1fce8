#include <gtest/gtest.h>

#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFSerialize.h"
#include "serialize/FFStreamOutgoing.h"
#include "serialize/SerializeTestSupport.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// Source → serializer, with a messenger that captures the log.
struct SerializerGraph {
    explicit SerializerGraph(const std::string& name) : messenger("serialize." + name)
    {
        serializer.SetMessenger(&messenger);
    }
    ~SerializerGraph() { source.DisconnectNode(); }

    CapturingMessenger messenger;
    FakeSource source;
    FFSerialize serializer;
};

std::vector<uint8_t> Bytes(const FFSerializedData& s)
{
    return std::vector<uint8_t>(s.data.get(), s.data.get() + s.size);
}

} // namespace

TEST(FFSerialize, SerializesEachRecordOnceAndSharesTheBytesWithEveryQueue)
{
    SerializerGraph g("shared");
    RecordingDestination a, b;
    g.source.ConnectNode(&g.serializer);
    g.serializer.ConnectNode(&a);
    g.serializer.ConnectNode(&b);

    auto eos = std::make_shared<CountingEOS>();
    EXPECT_EQ(g.serializer.FFProcess(eos), FFStatus::Ready);
    auto packet = MakePacketRecord(10, 0, FFStreamType::Audio);
    g.source.PushToDestinations(packet);

    EXPECT_EQ(eos->serializations, 1);
    ASSERT_EQ(a.received.size(), 2u);
    ASSERT_EQ(b.received.size(), 2u);
    EXPECT_EQ(a.received[0].get(), b.received[0].get());
    EXPECT_EQ(a.received[1].get(), b.received[1].get());
    EXPECT_EQ(a.received[1]->size, 134);
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, RealQueuesReceiveIdenticalBatchesFromOnePush)
{
    SerializerGraph g("twoqueues");
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    g.source.ConnectNode(&g.serializer);
    g.serializer.ConnectNode(&live);
    g.serializer.ConnectNode(&play);
    g.source.PushToDestinations(MakePacketRecord(33, 1, FFStreamType::Video, 9));

    auto fromLive = live.GetNextPacket();
    auto fromPlay = play.GetNextPacket();
    ASSERT_TRUE(fromLive && fromPlay);
    EXPECT_EQ(Bytes(*fromLive), Bytes(*fromPlay));
    EXPECT_NE(fromLive->data.get(), fromPlay->data.get()); // batches are copies
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, PacketRecordLayoutThroughTheQueue)
{
    SerializerGraph g("packet");
    FFPlayOutgoing q;
    g.source.ConnectNode(&g.serializer);
    g.serializer.ConnectNode(&q);

    auto p = MakePacketRecord(1000, AV_PKT_FLAG_KEY, FFStreamType::Video, 4242);
    p->Get()->stream_index = 3;
    p->Get()->duration = 512;
    p->liveTime = 0x0123456789ABCDEFLL;
    g.source.PushToDestinations(p);

    auto batch = q.GetNextPacket();
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->attribute, FFAttribute::Batch);
    ASSERT_EQ(batch->size, 1124);
    const uint8_t* d = batch->data.get();
    EXPECT_EQ(I32At(d, 0), 1);
    EXPECT_EQ(I32At(d, 4), 1124);
    EXPECT_EQ(I32At(d, 8), 1); // video key
    EXPECT_EQ(I32At(d, 16), 1);
    EXPECT_EQ(I32At(d, 20), 4242);
    EXPECT_EQ(I32At(d, 40), 1000);
    EXPECT_EQ(I32At(d, 44), 3);
    EXPECT_EQ(I32At(d, 48), 1);
    EXPECT_EQ(I32At(d, 60), 512);
    EXPECT_EQ(d[92], 1);
    EXPECT_EQ(I32At(d, 96), 1);
    EXPECT_EQ(I32At(d, 100), static_cast<int32_t>(0x89ABCDEF));
    EXPECT_EQ(I32At(d, 104), 0x01234567);
    EXPECT_EQ(0, std::memcmp(d + 108, p->Get()->data, 1000));
    for (int i = 1108; i < 1124; ++i)
        EXPECT_EQ(d[i], 0) << "at " << i;
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, CodecRecordsAreLoggedWithTheirSize)
{
    SerializerGraph g("codeclog");
    g.source.ConnectNode(&g.serializer);
    g.serializer.FFProcess(std::make_shared<FFAVCodec>(MakeVideoDescription(), nullptr));
    g.serializer.FFProcess(MakePacketRecord(5, 0, FFStreamType::Video));
    EXPECT_EQ(g.messenger.capture.Count("FFSerialize::FFProcess--- Serializing codec: 1024", 600), 1u);
    EXPECT_EQ(g.messenger.capture.Lines().size(), 1u + 2u); // plus the connection's two lines
}

TEST(FFSerialize, QueueConnectedBeforeAnyDescriptionGetsNothing)
{
    SerializerGraph g("nometa");
    g.source.ConnectNode(&g.serializer);
    EXPECT_EQ(g.messenger.capture.Count("FFSerialize::NotifyNewRecipient", 600), 1u);
    EXPECT_EQ(g.messenger.capture.Count("Not meta info from parent", 600), 1u);

    FFStreamOutgoing q;
    g.serializer.ConnectNode(&q);
    EXPECT_EQ(g.messenger.capture.Count("FFSerialize::GetMetaInfo", 600), 1u);
    EXPECT_EQ(g.messenger.capture.Count("Not meta info from parent", 600), 2u);
    EXPECT_EQ(q.GetNextPacket(), nullptr);
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, UnconnectedSerializerHasNoDescription)
{
    CapturingMessenger m("serialize.noparent");
    FFSerialize s;
    s.SetMessenger(&m);
    EXPECT_EQ(s.GetMetaInfo(), nullptr);
    EXPECT_EQ(m.capture.Count("Parent to set", 600), 1u);
}

TEST(FFSerialize, EveryNewQueueStartsWithAFreshDescription)
{
    SerializerGraph g("meta");
    g.source.meta = std::make_shared<FFAVCodec>(MakeVideoDescription(4), MakeAudioDescription());
    FFPlayOutgoing early, late;
    // A queue connected before the source gets the description when the source arrives.
    g.serializer.ConnectNode(&early);
    EXPECT_EQ(early.QueuedRecords(), 0u);
    g.source.ConnectNode(&g.serializer);
    EXPECT_EQ(early.QueuedRecords(), 1u);

    g.source.PushToDestinations(MakePacketRecord(8, 1, FFStreamType::Video));
    g.serializer.ConnectNode(&late);
    ASSERT_EQ(late.QueuedRecords(), 1u);

    auto first = late.GetNextPacket();
    ASSERT_TRUE(first);
    EXPECT_EQ(I32At(first->data.get(), 0), 5);
    auto rebuilt = CreateFromSerialized(first->data.get(), static_cast<size_t>(first->size));
    auto* avc = dynamic_cast<FFAVCodec*>(rebuilt.get());
    ASSERT_TRUE(avc && avc->audio);
    EXPECT_EQ(avc->video->Context()->width, 320);
    EXPECT_EQ(avc->audio->Context()->sample_rate, 48000);
    EXPECT_EQ(g.messenger.capture.Count("FFSerialize::_GetMetaInfoFromParent--- Serializing codec: " +
                                        std::to_string(first->size)),
              2u);
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, StatusIsFullWhileAnyQueueMustBeWaitedFor)
{
    SerializerGraph g("status");
    EXPECT_EQ(g.serializer.GetStatus(), FFStatus::Ready); // no queue
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    g.serializer.ConnectNode(&live);
    g.serializer.ConnectNode(&play);
    for (int i = 0; i < 301; ++i)
        g.serializer.FFProcess(std::make_shared<FFEOSInfo>());
    EXPECT_EQ(g.serializer.GetStatus(), FFStatus::Full);
    play.GetNextPacket();
    EXPECT_EQ(g.serializer.GetStatus(), FFStatus::Ready);
    g.serializer.DisconnectNode();
}

TEST(FFSerialize, CascadedDisconnectionEmptiesAndReleasesTheQueues)
{
    SerializerGraph g("disconnect");
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    g.source.ConnectNode(&g.serializer);
    g.serializer.ConnectNode(&live);
    g.serializer.ConnectNode(&play);
    g.source.PushToDestinations(MakePacketRecord(8, 0, FFStreamType::Video));
    ASSERT_EQ(live.QueuedRecords(), 1u);

    g.source.DisconnectNode();
    EXPECT_EQ(live.QueuedRecords(), 0u);
    EXPECT_EQ(play.QueuedRecords(), 0u);
    EXPECT_EQ(live.GetParent(), nullptr);
    EXPECT_EQ(play.GetParent(), nullptr);
    EXPECT_EQ(g.serializer.GetParent(), nullptr);
    EXPECT_FALSE(g.serializer.HasDestinations());
}

TEST(FFSerialize, DestroyingNodesLeavesNoDanglingConnection)
{
    SerializerGraph g("lifetime");
    auto q = std::make_unique<FFPlayOutgoing>();
    {
        FFSerialize s;
        g.source.ConnectNode(&s);
        s.ConnectNode(q.get());
        auto gone = std::make_unique<FFStreamOutgoing>();
        s.ConnectNode(gone.get());
        gone.reset();
        g.source.PushToDestinations(MakePacketRecord(8, 0, FFStreamType::Video));
        EXPECT_EQ(q->QueuedRecords(), 1u);
    }
    EXPECT_FALSE(g.source.HasDestinations());
    EXPECT_EQ(q->GetParent(), nullptr);
}

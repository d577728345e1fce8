#include <gtest/gtest.h>

#include <thread>

#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFSerialize.h"
#include "serialize/FFStreamOutgoing.h"
#include "serialize/SerializeTestSupport.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// Tags of the records a batch holds, walking it by each header's size.
std::vector<int32_t> TagsIn(const FFSerializedData& batch)
{
    std::vector<int32_t> tags;
    for (int32_t at = 0; at < batch.size; at += 16)
        tags.push_back(TagOf(batch, static_cast<size_t>(at)));
    return tags;
}

std::vector<int32_t> Drain(FFOutgoing& q)
{
    q.SetNumberOutgoingPackets(1000);
    auto batch = q.GetNextPacket();
    return batch ? TagsIn(*batch) : std::vector<int32_t>{};
}

void Fill(FFOutgoing& q, int count, FFAttribute attribute = FFAttribute::Plain, int firstTag = 0)
{
    for (int i = 0; i < count; ++i)
        q.FFProcess(Tagged(attribute, firstTag + i));
}

} // namespace

TEST(FFOutgoing, EmptyQueueGivesNothing)
{
    FFStreamOutgoing live;
    FFPlayOutgoing play;
    EXPECT_EQ(live.GetNextPacket(), nullptr);
    EXPECT_EQ(play.GetNextPacket(), nullptr);
    EXPECT_EQ(live.GetNumberOutgoingPackets(), 1u);
    EXPECT_EQ(play.GetNumberOutgoingPackets(), 30u);
}

TEST(FFOutgoing, BatchesTakeAtMostTheConfiguredCountInOrder)
{
    FFPlayOutgoing q;
    Fill(q, 45);

    auto first = q.GetNextPacket();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->attribute, FFAttribute::Batch);
    EXPECT_EQ(first->size, 30 * 16);
    std::vector<int32_t> expected(30);
    for (int i = 0; i < 30; ++i)
        expected[i] = i;
    EXPECT_EQ(TagsIn(*first), expected);

    auto second = q.GetNextPacket();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->size, 15 * 16);
    EXPECT_EQ(TagsIn(*second).front(), 30);
    EXPECT_EQ(TagsIn(*second).back(), 44);

    EXPECT_EQ(q.GetNextPacket(), nullptr);
}

TEST(FFOutgoing, SingleRecordIsWrappedAsABatchAndOwnsItsBytes)
{
    FFStreamOutgoing q;
    auto record = Tagged(FFAttribute::Codec, 77);
    q.FFProcess(record);
    auto batch = q.GetNextPacket();
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->attribute, FFAttribute::Batch);
    EXPECT_EQ(batch->size, 16);
    EXPECT_NE(batch->data.get(), record->data.get());
    record->data[12] = 0; // the queue's record changing later does not reach the batch
    EXPECT_EQ(TagOf(*batch), 77);
}

TEST(FFOutgoing, CountZeroGivesEmptyBatchesAndKeepsEverything)
{
    FFPlayOutgoing q;
    q.SetNumberOutgoingPackets(0);
    Fill(q, 3);
    for (int i = 0; i < 2; ++i) {
        auto batch = q.GetNextPacket();
        ASSERT_TRUE(batch);
        EXPECT_EQ(batch->size, 0);
        EXPECT_EQ(batch->attribute, FFAttribute::Batch);
    }
    Fill(q, 2, FFAttribute::Plain, 3);
    EXPECT_EQ(q.QueuedRecords(), 5u);
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{0, 1, 2, 3, 4}));
}

TEST(FFOutgoing, BatchOfRealRecordsCanBeWalkedAndRebuilt)
{
    FFStreamOutgoing q;
    q.SetNumberOutgoingPackets(4);
    q.FFProcess(std::make_shared<FFAVCodec>(MakeVideoDescription(6), nullptr)->Serialize());
    q.FFProcess(MakePacketRecord(100, 1, FFStreamType::Video, 1)->Serialize());
    q.FFProcess(FFSeekInfo(2.5).Serialize());
    q.FFProcess(FFConnectionInfo(ConnectionStatus::Connected, "ok").Serialize());

    auto batch = q.GetNextPacket();
    ASSERT_TRUE(batch);
    ASSERT_EQ(batch->size, (12 + 1018) + 224 + 36 + 18);
    std::vector<int32_t> offsets, types;
    for (int32_t at = 0; at < batch->size;) {
        offsets.push_back(at);
        types.push_back(I32At(batch->data.get(), static_cast<size_t>(at)));
        const int32_t size = I32At(batch->data.get(), static_cast<size_t>(at) + 4);
        auto rebuilt = CreateFromSerialized(batch->data.get() + at, static_cast<size_t>(batch->size - at));
        EXPECT_EQ(rebuilt->GetSerializedSize(), size);
        at += size;
    }
    EXPECT_EQ(offsets, (std::vector<int32_t>{0, 1030, 1254, 1290}));
    EXPECT_EQ(types, (std::vector<int32_t>{5, 1, 3, 6}));
}

TEST(FFStreamOutgoing, SecondKeyFrameDropsEverythingButTheNewestDescription)
{
    CapturingMessenger m("outgoing.keyrule");
    FFStreamOutgoing q;
    q.SetMessenger(&m);
    q.FFProcess(Tagged(FFAttribute::Codec, 1));     // codec A
    q.FFProcess(Tagged(FFAttribute::VideoKey, 2));  // key 1
    q.FFProcess(Tagged(FFAttribute::Plain, 3));
    q.FFProcess(Tagged(FFAttribute::Plain, 4));
    q.FFProcess(Tagged(FFAttribute::Codec, 5));     // codec B
    q.FFProcess(Tagged(FFAttribute::Plain, 6));
    EXPECT_EQ(q.FFProcess(Tagged(FFAttribute::VideoKey, 7)), FFStatus::Ready);

    EXPECT_EQ(m.capture.Count("Emptying output queue: 6", 400), 1u);
    EXPECT_EQ(m.capture.Count("Found a codec packet in queue", 400), 1u);
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{5, 7}));
}

TEST(FFStreamOutgoing, DropWithoutDescriptionKeepsOnlyTheNewKey)
{
    CapturingMessenger m("outgoing.nocodec");
    FFStreamOutgoing q;
    q.SetMessenger(&m);
    q.FFProcess(Tagged(FFAttribute::VideoKey, 1));
    q.FFProcess(Tagged(FFAttribute::Plain, 2));
    q.FFProcess(Tagged(FFAttribute::VideoKey, 3));
    EXPECT_EQ(m.capture.Count("Emptying output queue: 2", 400), 1u);
    EXPECT_EQ(m.capture.Count("Found a codec packet in queue"), 0u);
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{3}));
}

TEST(FFStreamOutgoing, OnlyAQueuedVideoKeyTriggersTheDrop)
{
    CapturingMessenger m("outgoing.nodrop");
    FFStreamOutgoing q;
    q.SetMessenger(&m);
    // Audio keys never count as key frames for the rule.
    q.FFProcess(Tagged(FFAttribute::VideoKey, 1));
    q.FFProcess(Tagged(FFAttribute::Plain, 2));
    q.FFProcess(Tagged(FFAttribute::Plain, 3));
    q.FFProcess(Tagged(FFAttribute::OtherKey, 4));
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{1, 2, 3, 4}));

    // A key frame the client already took does not count either.
    q.FFProcess(Tagged(FFAttribute::Plain, 5));
    q.FFProcess(Tagged(FFAttribute::Plain, 6));
    q.FFProcess(Tagged(FFAttribute::VideoKey, 7));
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{5, 6, 7}));
    EXPECT_EQ(m.capture.Count("Emptying output queue: 2"), 0u);
    EXPECT_EQ(m.capture.Count("Emptying output queue: 3"), 0u);
}

TEST(FFStreamOutgoing, AnUntakenKeyFrameIsReplacedEvenAfterPartialDrain)
{
    FFStreamOutgoing q;
    q.SetNumberOutgoingPackets(2);
    Fill(q, 3); // 0, 1, 2
    q.FFProcess(Tagged(FFAttribute::VideoKey, 3));
    q.FFProcess(Tagged(FFAttribute::Plain, 4));
    ASSERT_TRUE(q.GetNextPacket()); // takes 0 and 1; key 3 still waits
    q.FFProcess(Tagged(FFAttribute::VideoKey, 5));
    EXPECT_EQ(Drain(q), (std::vector<int32_t>{5}));
}

TEST(FFPlayOutgoing, ReadyUpToThreeHundredRecordsFullPastThem)
{
    FFPlayOutgoing q;
    Fill(q, 300);
    EXPECT_EQ(q.GetStatus(), FFStatus::Ready);
    EXPECT_EQ(q.FFProcess(Tagged(FFAttribute::Plain, 300)), FFStatus::Ready);
    EXPECT_EQ(q.GetStatus(), FFStatus::Full);
    // Records already on their way are still kept.
    Fill(q, 5, FFAttribute::VideoKey, 301);
    EXPECT_EQ(q.QueuedRecords(), 306u);
    q.SetNumberOutgoingPackets(5);
    q.GetNextPacket();
    EXPECT_EQ(q.QueuedRecords(), 301u);
    EXPECT_EQ(q.GetStatus(), FFStatus::Full);
    q.SetNumberOutgoingPackets(1);
    q.GetNextPacket();
    EXPECT_EQ(q.GetStatus(), FFStatus::Ready);
}

TEST(FFOutgoing, FlushEmptiesButKeepsTheConnection)
{
    CapturingMessenger m("outgoing.flush");
    FakeSource source;
    FFSerialize s;
    FFStreamOutgoing q;
    q.SetMessenger(&m);
    source.ConnectNode(&s);
    s.ConnectNode(&q);
    source.PushToDestinations(MakePacketRecord(4, 0, FFStreamType::Video));
    q.Flush();
    EXPECT_EQ(m.capture.Count("FFOutgoing::Flush", 600), 1u);
    EXPECT_EQ(q.GetNextPacket(), nullptr);
    EXPECT_EQ(q.GetParent(), &s);
    source.PushToDestinations(MakePacketRecord(4, 0, FFStreamType::Video));
    EXPECT_EQ(q.QueuedRecords(), 1u);
    source.DisconnectNode();
    EXPECT_EQ(q.QueuedRecords(), 0u);
    EXPECT_EQ(m.capture.Count("FFOutgoing::Flush", 600), 2u);
}

TEST(FFOutgoing, InconsistentRecordsAreRefusedWithAWarning)
{
    CapturingMessenger m("outgoing.bad");
    FFPlayOutgoing q;
    q.SetMessenger(&m);
    auto lying = std::make_shared<FFSerializedData>();
    lying->size = 20; // no bytes behind it
    EXPECT_EQ(q.FFProcess(nullptr), FFStatus::Ready);
    EXPECT_EQ(q.FFProcess(lying), FFStatus::Ready);
    EXPECT_EQ(q.QueuedRecords(), 0u);
    EXPECT_EQ(m.capture.Lines().size(), 2u);
}

// A source thread pushes through the serializer with the usual polling
// back-pressure while the application thread drains; nothing may be lost,
// duplicated or reordered. Meant to be run under ThreadSanitizer as well.
TEST(FFOutgoing, ConcurrentPushAndDrainLoseNothing)
{
    FakeSource source;
    FFSerialize serializer;
    FFPlayOutgoing play;
    FFStreamOutgoing live;
    source.ConnectNode(&serializer);
    serializer.ConnectNode(&play);
    serializer.ConnectNode(&live);
    constexpr int kRecords = 2000;

    std::thread producer([&] {
        for (int i = 0; i < kRecords; ++i) {
            while (source.AnyDestinationBusy())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            source.PushToDestinations(MakePacketRecord(16, i % 50 == 0 ? 1 : 0, FFStreamType::Video, i));
        }
    });

    std::vector<int64_t> seen;
    std::vector<int64_t> liveSeen;
    play.SetNumberOutgoingPackets(7);
    live.SetNumberOutgoingPackets(3);
    while (static_cast<int>(seen.size()) < kRecords) {
        auto walk = [](const std::shared_ptr<const FFSerializedData>& batch, std::vector<int64_t>& into) {
            if (!batch)
                return;
            for (int32_t at = 0; at < batch->size;) {
                auto r = CreateFromSerialized(batch->data.get() + at, static_cast<size_t>(batch->size - at));
                into.push_back(static_cast<FFPacket&>(*r).Get()->pts);
                at += r->GetSerializedSize();
            }
        };
        walk(play.GetNextPacket(), seen);
        walk(live.GetNextPacket(), liveSeen);
        if (play.QueuedRecords() == 0)
            std::this_thread::yield();
    }
    producer.join();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kRecords));
    for (int i = 0; i < kRecords; ++i)
        ASSERT_EQ(seen[static_cast<size_t>(i)], i);
    // The live queue may skip, but what it delivers stays in order.
    EXPECT_TRUE(std::is_sorted(liveSeen.begin(), liveSeen.end()));
    source.DisconnectNode();
}

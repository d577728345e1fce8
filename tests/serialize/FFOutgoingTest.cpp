// The client queues: batching, the live queue's key-frame rule, the playback
// queue's limit, flushing, and a producer racing the client.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "serialize/FFPlayOutgoing.h"
#include "serialize/FFSerialize.h"
#include "serialize/FFStreamOutgoing.h"
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// A bare 16-byte record of the given attribute whose int32 at offset 12 tells it apart.
std::shared_ptr<FFSerializedData> Tagged(FFAttribute attribute, int32_t tag)
{
    auto s = std::make_shared<FFSerializedData>();
    s->size = 16;
    s->attribute = attribute;
    s->data = std::make_unique<uint8_t[]>(16);
    std::memcpy(s->data.get() + 12, &tag, 4);
    return s;
}

// Tags of the records a batch of tagged records holds.
std::vector<int32_t> TagsIn(const std::shared_ptr<const FFSerializedData>& batch)
{
    std::vector<int32_t> tags;
    for (int32_t at = 0; batch && at < batch->size; at += 16) {
        int32_t tag;
        std::memcpy(&tag, batch->data.get() + at + 12, 4);
        tags.push_back(tag);
    }
    return tags;
}

std::vector<int32_t> Drain(FFOutgoing& q)
{
    q.SetNumberOutgoingPackets(1000);
    return TagsIn(q.GetNextPacket());
}

void Fill(FFOutgoing& q, int count, FFAttribute attribute = FFAttribute::Plain, int firstTag = 0)
{
    for (int i = 0; i < count; ++i)
        q.FFProcess(Tagged(attribute, firstTag + i));
}

std::vector<int32_t> Range(int from, int to)
{
    std::vector<int32_t> out;
    for (int i = from; i < to; ++i)
        out.push_back(i);
    return out;
}

} // namespace

TEST(FFOutgoing, BatchesTakeAtMostTheConfiguredCountInOrderAndOwnTheirBytes)
{
    FFPlayOutgoing q;
    EXPECT_EQ(q.GetNextPacket(), nullptr);
    auto first = Tagged(FFAttribute::Plain, 0);
    q.FFProcess(first);
    Fill(q, 44, FFAttribute::Plain, 1);
    q.SetNumberOutgoingPackets(30);
    auto batch = q.GetNextPacket();
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->attribute, FFAttribute::Batch);
    first->data[12] = 99; // the queue's record changing later does not reach the batch
    EXPECT_EQ(TagsIn(batch), Range(0, 30));
    EXPECT_EQ(TagsIn(q.GetNextPacket()), Range(30, 45));
    EXPECT_EQ(q.GetNextPacket(), nullptr);

    // A count of zero gives empty batches and keeps everything.
    Fill(q, 3);
    q.SetNumberOutgoingPackets(0);
    auto empty = q.GetNextPacket();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size, 0);
    EXPECT_EQ(Drain(q), Range(0, 3));
}

// The live queue's rule: a video key frame arriving while an untaken one
// waits drops everything queued except the newest stream description.
struct KeyRuleCase {
    const char* name;
    // One record per letter, tagged with its position: C description,
    // K video key, A audio key, P plain; '2' lets the client take two
    // records, 'D' take everything.
    std::string steps;
    std::vector<int32_t> left;
};

class LiveKeyRule : public ::testing::TestWithParam<KeyRuleCase> {};

TEST_P(LiveKeyRule, LeavesWhatTheClientStillNeeds)
{
    FFStreamOutgoing q;
    const std::string& steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto tag = static_cast<int32_t>(i);
        switch (steps[i]) {
        case 'C': EXPECT_EQ(q.FFProcess(Tagged(FFAttribute::Codec, tag)), FFStatus::Ready); break;
        case 'K': EXPECT_EQ(q.FFProcess(Tagged(FFAttribute::VideoKey, tag)), FFStatus::Ready); break;
        case 'A': q.FFProcess(Tagged(FFAttribute::OtherKey, tag)); break;
        case 'P': q.FFProcess(Tagged(FFAttribute::Plain, tag)); break;
        case '2': q.SetNumberOutgoingPackets(2); q.GetNextPacket(); break;
        case 'D': Drain(q); break;
        }
    }
    EXPECT_EQ(Drain(q), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    FFStreamOutgoing, LiveKeyRule,
    ::testing::Values(KeyRuleCase{"NewestDescriptionSurvives", "CKPPCPK", {4, 6}},
                      KeyRuleCase{"WithoutDescriptionOnlyTheNewKey", "KPK", {2}},
                      KeyRuleCase{"AudioKeysDoNotCount", "KPPA", {0, 1, 2, 3}},
                      KeyRuleCase{"ATakenKeyDoesNotCount", "KPDPPK", {3, 4, 5}},
                      KeyRuleCase{"AnUntakenKeyCountsAfterPartialTake", "PPPKP2K", {6}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FFPlayOutgoing, FullPastItsLimitYetKeepsWhatIsOnItsWay)
{
    FFPlayOutgoing q;
    Fill(q, static_cast<int>(FFPlayOutgoing::kMaxQueuedRecords));
    EXPECT_EQ(q.GetStatus(), FFStatus::Ready);
    Fill(q, 6, FFAttribute::VideoKey, 300);
    EXPECT_EQ(q.GetStatus(), FFStatus::Full);
    EXPECT_EQ(q.QueuedRecords(), 306u); // nothing dropped, not even before key frames
    q.SetNumberOutgoingPackets(6);
    q.GetNextPacket();
    EXPECT_EQ(q.GetStatus(), FFStatus::Ready);
}

TEST(FFOutgoing, FlushEmptiesKeepsTheConnectionAndBadRecordsAreRefused)
{
    ManualSource<FFData> source;
    FFSerialize s;
    FFStreamOutgoing q;
    source.ConnectNode(&s);
    s.ConnectNode(&q);
    source.Push(Video(0, false, 4));
    q.Flush();
    EXPECT_EQ(q.GetNextPacket(), nullptr);
    EXPECT_EQ(q.GetParent(), &s);
    source.Push(Video(1, false, 4));
    EXPECT_EQ(q.QueuedRecords(), 1u);

    auto lying = std::make_shared<FFSerializedData>();
    lying->size = 20; // no bytes behind it
    EXPECT_EQ(q.FFProcess(nullptr), FFStatus::Ready);
    EXPECT_EQ(q.FFProcess(lying), FFStatus::Ready);
    EXPECT_EQ(q.QueuedRecords(), 1u);

    source.DisconnectNode();
    EXPECT_EQ(q.QueuedRecords(), 0u);
}

// A source thread pushes through the serializer with the usual polling
// back-pressure while the application thread drains; nothing may be lost,
// duplicated or reordered. Meant to be run under ThreadSanitizer as well.
TEST(FFOutgoing, ConcurrentPushAndDrainLoseNothing)
{
    ManualSource<FFData> source;
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
            source.Push(Video(i, i % 50 == 0, 16));
        }
    });

    auto walk = [](const std::shared_ptr<const FFSerializedData>& batch, std::vector<int64_t>& into) {
        for (int32_t at = 0; batch && at < batch->size;) {
            auto r = CreateFromSerialized(batch->data.get() + at, static_cast<size_t>(batch->size - at));
            into.push_back(static_cast<FFPacket&>(*r).Get()->pts);
            at += r->GetSerializedSize();
        }
    };
    std::vector<int64_t> seen, liveSeen;
    play.SetNumberOutgoingPackets(7);
    live.SetNumberOutgoingPackets(3);
    while (seen.size() < static_cast<size_t>(kRecords)) {
        walk(play.GetNextPacket(), seen);
        walk(live.GetNextPacket(), liveSeen);
        if (play.QueuedRecords() == 0)
            std::this_thread::yield();
    }
    producer.join();
    std::vector<int64_t> expected(kRecords);
    for (int i = 0; i < kRecords; ++i)
        expected[static_cast<size_t>(i)] = i;
    EXPECT_EQ(seen, expected);
    // The live queue may skip, but what it delivers stays in order.
    EXPECT_TRUE(std::is_sorted(liveSeen.begin(), liveSeen.end()));
    source.DisconnectNode();
}

// The serializer and its client queues: each record flattened once and
// shared by every queue, each new queue starting with a fresh stream
// description, nodes destroyed while connected; batching, what each kind of
// queue keeps and when it holds the source back, flushing, and a producer
// racing the client. (Cascaded disconnection is in core/node_graph_test.)
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <numeric>
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

std::vector<int32_t> Range(int from, int to)
{
    std::vector<int32_t> out(static_cast<size_t>(to - from));
    std::iota(out.begin(), out.end(), from);
    return out;
}

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

TEST(FFOutgoing, BatchesTakeAtMostTheConfiguredCountInOrderAndOwnTheirBytes)
{
    FFPlayOutgoing q;
    EXPECT_EQ(q.GetNextPacket(), nullptr);
    auto first = Tagged(FFAttribute::Plain, 0);
    for (int i = 0; i < 45; ++i)
        q.FFProcess(i == 0 ? first : Tagged(FFAttribute::Plain, i));
    q.SetNumberOutgoingPackets(30);
    auto batch = q.GetNextPacket();
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->attribute, FFAttribute::Batch);
    first->data[12] = 99; // the queue's record changing later does not reach the batch
    EXPECT_EQ(TagsIn(batch), Range(0, 30));
    EXPECT_EQ(TagsIn(q.GetNextPacket()), Range(30, 45));
    EXPECT_EQ(q.GetNextPacket(), nullptr);

    // A count of zero gives empty batches and keeps everything.
    for (int i = 0; i < 3; ++i)
        q.FFProcess(Tagged(FFAttribute::Plain, i));
    q.SetNumberOutgoingPackets(0);
    auto empty = q.GetNextPacket();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size, 0);
    EXPECT_EQ(Drain(q), Range(0, 3));
}

// What each client queue keeps. The live queue: a video key frame arriving
// while an untaken one waits drops everything queued except the newest stream
// description. The playback queue answers Full past its limit, which holds
// back a file source above it; a camera, which is never held back, has a
// client twice that far behind start over at the next key frame.
struct QueueCase {
    const char* name;
    bool live;
    // One record per letter, tagged with its position: C description, K video
    // key, A audio key, P plain; a digit lets the client take that many
    // records, 'D' take everything.
    std::string steps;
    std::vector<int32_t> left;
    FFStatus::FFStreamStatus status = FFStatus::Ready;
};

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.name; }

class ClientQueue : public ::testing::TestWithParam<QueueCase> {};

TEST_P(ClientQueue, KeepsWhatTheClientStillNeedsAndHoldsBackOnlyWhenItMay)
{
    FFSerialize serializer;
    FFStreamOutgoing other, live; // `other`, always Ready, comes first
    FFPlayOutgoing play;
    FFOutgoing& q = GetParam().live ? static_cast<FFOutgoing&>(live) : play;
    serializer.ConnectNode(&other);
    serializer.ConnectNode(&q);
    const std::string& steps = GetParam().steps;
    const std::map<char, FFAttribute> kinds{{'C', FFAttribute::Codec}, {'K', FFAttribute::VideoKey},
                                           {'A', FFAttribute::OtherKey}, {'P', FFAttribute::Plain}};
    for (size_t i = 0; i < steps.size(); ++i) {
        if (kinds.count(steps[i])) {
            q.FFProcess(Tagged(kinds.at(steps[i]), static_cast<int32_t>(i)));
        } else if (steps[i] == 'D') {
            Drain(q);
        } else {
            q.SetNumberOutgoingPackets(static_cast<uint32_t>(steps[i] - '0'));
            q.GetNextPacket();
        }
    }
    EXPECT_EQ(q.GetStatus(), GetParam().status);
    EXPECT_EQ(serializer.GetStatus(), GetParam().status);
    EXPECT_EQ(Drain(q), GetParam().left);
    serializer.DisconnectNode();
}

const std::string kLimit(FFPlayOutgoing::kMaxQueuedRecords, 'P');

INSTANTIATE_TEST_SUITE_P(
    Queues, ClientQueue,
    ::testing::Values(QueueCase{"LiveNewestDescriptionSurvives", true, "CKPPCPK", {4, 6}, FFStatus::Ready},
                      QueueCase{"LiveWithoutDescriptionOnlyTheNewKey", true, "KPK", {2}, FFStatus::Ready},
                      QueueCase{"LiveAudioKeysDoNotCount", true, "KPPA", {0, 1, 2, 3}, FFStatus::Ready},
                      QueueCase{"LiveKeyAfterSoundAndPlainOnlyDropsNothing", true, "CPAPAK", Range(0, 6), FFStatus::Ready},
                      QueueCase{"LiveTakenKeyDoesNotCount", true, "KPDPPK", {3, 4, 5}, FFStatus::Ready},
                      QueueCase{"LiveUntakenKeyCountsAfterPartialTake", true, "PPPKP2K", {6}, FFStatus::Ready},
                      QueueCase{"LiveNeverFull", true, kLimit + "PP", Range(0, 302), FFStatus::Ready},
                      QueueCase{"PlaybackKeepsEveryKeyFrame", false, "CKPKPK", Range(0, 6), FFStatus::Ready},
                      QueueCase{"PlaybackReadyAtItsLimit", false, kLimit, Range(0, 300), FFStatus::Ready},
                      QueueCase{"PlaybackFullPastItsLimit", false, kLimit + "KKKKKK", Range(0, 306), FFStatus::Full},
                      QueueCase{"PlaybackReadyOnceTakenBackToItsLimit", false, kLimit + "KKKKKK6", Range(6, 306), FFStatus::Ready},
                      QueueCase{"PlaybackOfACameraFarBehindStartsOverAtAKey", false, kLimit + kLimit + "CPK", {600, 602}, FFStatus::Ready}),
    [](const auto& info) { return std::string(info.param.name); });

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

    auto walk = [](const std::shared_ptr<const FFSerializedData>& batch, std::vector<int32_t>& into) {
        for (int32_t at = 0; batch && at < batch->size;) {
            auto r = CreateFromSerialized(batch->data.get() + at, static_cast<size_t>(batch->size - at));
            into.push_back(static_cast<int32_t>(static_cast<FFPacket&>(*r).Get()->pts));
            at += r->GetSerializedSize();
        }
    };
    std::vector<int32_t> seen, liveSeen;
    play.SetNumberOutgoingPackets(7);
    live.SetNumberOutgoingPackets(3);
    while (seen.size() < static_cast<size_t>(kRecords)) {
        walk(play.GetNextPacket(), seen);
        walk(live.GetNextPacket(), liveSeen);
        if (play.QueuedRecords() == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(seen, Range(0, kRecords));
    // The live queue may skip, but what it delivers stays in order.
    EXPECT_TRUE(std::is_sorted(liveSeen.begin(), liveSeen.end()));
    source.DisconnectNode();
}

TEST_F(SerializerGraph, SerializesEachRecordOnceAndSharesItWithEveryQueue)
{
    CapturingDest<FFSerializedData> a, b;
    source.ConnectNode(&serializer);
    serializer.ConnectNode(&a);
    serializer.ConnectNode(&b);
    source.Push(Video(9, true, 33));
    source.Push(std::make_shared<FFEOSInfo>());
    ASSERT_EQ(a.Count(), 2u); // one flattened record each, shared
    EXPECT_EQ(a.Records()[0].get(), b.Records()[0].get());
    EXPECT_EQ(a.Records()[1].get(), b.Records()[1].get());
    EXPECT_EQ(Bytes(*a.Records()[0]), Bytes(*Video(9, true, 33)->Serialize()));
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

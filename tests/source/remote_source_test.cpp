// The remote source rebuilds the records of serialized blocks and pushes them,
// waiting for a codec description and for an expected seek marker, and resumes
// a block it could not finish.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>

#include "source/FFRemoteSource.h"
#include "traffic_test_nodes.h"

using namespace Quillet;
using namespace Quillet::TestNodes;

namespace {

// The records back to back, as a serving instance batches them.
std::vector<uint8_t> Block(std::initializer_list<std::shared_ptr<FFData>> records)
{
    std::vector<uint8_t> out;
    for (const auto& r : records) {
        auto s = r->Serialize();
        out.insert(out.end(), s->data.get(), s->data.get() + s->size);
    }
    return out;
}

uint32_t SerializedSize(const FFData& r)
{
    return static_cast<uint32_t>(r.GetSerializedSize());
}

// What a record looks like after the wire: type and the fields that travel.
std::string Describe(const FFData& r)
{
    std::string d = std::to_string(static_cast<int>(r.GetType()));
    if (auto* p = dynamic_cast<const FFPacket*>(&r)) {
        const AVPacket* a = p->Get();
        d += " pts=" + std::to_string(a->pts) + " dts=" + std::to_string(a->dts) +
             " flags=" + std::to_string(a->flags) + " st=" + std::to_string(static_cast<int>(p->GetStreamType())) +
             " n=" + std::to_string(a->size);
        uint32_t sum = 0;
        for (int i = 0; i < a->size; ++i)
            sum = sum * 31 + a->data[i];
        d += " sum=" + std::to_string(sum);
    } else if (auto* s = dynamic_cast<const FFSeekInfo*>(&r)) {
        d += " t=" + std::to_string(s->time);
    } else if (auto* c = dynamic_cast<const FFAVCodec*>(&r)) {
        d += " tb=" + std::to_string(c->video->timeBaseNum) + "/" + std::to_string(c->video->timeBaseDen) +
             " id=" + std::to_string(c->video->Context()->codec_id) + " audio=" + (c->audio ? "yes" : "no");
        if (c->audio)
            d += " rate=" + std::to_string(c->audio->Context()->sample_rate);
    } else if (auto* ci = dynamic_cast<const FFConnectionInfo*>(&r)) {
        d += " status=" + std::to_string(static_cast<int>(ci->status)) + " msg=" + ci->message;
    }
    return d;
}

std::vector<std::string> Describe(const std::vector<std::shared_ptr<FFData>>& records)
{
    std::vector<std::string> out;
    for (const auto& r : records)
        out.push_back(Describe(*r));
    return out;
}

class RemoteSource : public ::testing::Test {
protected:
    void SetUp() override { source.ConnectNode(&dest); }
    void TearDown() override { source.DisconnectNode(); }

    // Copies the block into a buffer of exactly its size, so that any read
    // past the end is caught by AddressSanitizer.
    bool Push(const std::vector<uint8_t>& block)
    {
        auto exact = std::make_unique<uint8_t[]>(block.size());
        std::copy(block.begin(), block.end(), exact.get());
        return source.Push(exact.get(), static_cast<uint32_t>(block.size()));
    }

    // Lets the source see a codec description, so later blocks stream.
    void Prime()
    {
        ASSERT_TRUE(Push(Block({Codec()})));
        dest.Clear();
    }

    RecordingDest dest;
    FFRemoteSource source;
};

TEST_F(RemoteSource, BatchArrivesAsTheSameRecordsInOrder)
{
    std::vector<std::shared_ptr<FFData>> sent{
        Codec(1, 90000, true),
        MakePacket(FFStreamType::Video, 3000, true, 1000, 0x11),
        MakePacket(FFStreamType::Audio, 1024, true, 200, 0x22),
        MakePacket(FFStreamType::Video, 6000, false, 300, 0x33),
        SeekMarker(3.5),
        std::make_shared<FFEOSInfo>(),
        std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "gone"),
    };
    std::vector<uint8_t> block;
    for (const auto& r : sent) {
        auto s = r->Serialize();
        block.insert(block.end(), s->data.get(), s->data.get() + s->size);
    }
    EXPECT_TRUE(source.IsWaitingForCodec());
    EXPECT_TRUE(Push(block));
    EXPECT_EQ(Describe(dest.Records()), Describe(sent));
    EXPECT_EQ(source.GetPosition(), 0u);
    EXPECT_FALSE(source.IsWaitingForCodec());
}

TEST_F(RemoteSource, DescribesItselfOnlyThroughItsRecords)
{
    EXPECT_EQ(source.GetMetaInfo(), nullptr);
    RecordingDest late;
    source.ConnectNode(&late);
    EXPECT_EQ(late.Count(), 0u);
    source.DisconnectNode();
}

TEST_F(RemoteSource, RecordsBeforeACodecDescriptionAreDropped)
{
    EXPECT_TRUE(Push(Block({Video(0, true), Audio(0)})));
    EXPECT_EQ(dest.Count(), 0u);

    auto codec = Codec(1, 1000);
    EXPECT_TRUE(Push(Block({Video(40, false), Audio(40), codec, Video(80, true), Audio(80)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({codec, Video(80, true), Audio(80)}));

    // Once the codec is known, packets stream without one.
    dest.Clear();
    EXPECT_TRUE(Push(Block({Video(120, false)})));
    EXPECT_EQ(dest.Count(), 1u);

    // Resynchronising waits for the next description again.
    source.Resynchronise();
    dest.Clear();
    EXPECT_TRUE(Push(Block({Video(160, false), Codec(1, 25), Video(200, true)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({Codec(1, 25), Video(200, true)}));
}

TEST_F(RemoteSource, WaitForSeekAcceptsOnlyANewTarget)
{
    EXPECT_TRUE(source.WaitForSeek(5.0));
    EXPECT_FALSE(source.WaitForSeek(5.0));
    EXPECT_FALSE(source.WaitForSeek(5.005));
    EXPECT_TRUE(source.WaitForSeek(5.02));
    EXPECT_DOUBLE_EQ(source.GetExpectedSeek(), 5.02);
}

TEST_F(RemoteSource, WaitingForASeekDropsEverythingUpToItsMarker)
{
    Prime();
    ASSERT_TRUE(source.WaitForSeek(5.0));
    EXPECT_TRUE(Push(Block({Video(3000, true), SeekMarker(4.0), Video(4000, true), SeekMarker(5.005),
                            Video(5000, true), Audio(5000)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({SeekMarker(5.005), Video(5000, true), Audio(5000)}));
    EXPECT_EQ(source.GetExpectedSeek(), -1.0);
    EXPECT_TRUE(source.WaitForSeek(5.0)); // no longer awaited

    // The marker may come several blocks later.
    dest.Clear();
    EXPECT_TRUE(Push(Block({Video(6000, true), SeekMarker(6.0)})));
    EXPECT_TRUE(Push(Block({Codec(), Audio(6000)})));
    EXPECT_EQ(dest.Count(), 0u);
    EXPECT_TRUE(Push(Block({Video(1, false), SeekMarker(5.0), Video(5000, true)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({SeekMarker(5.0), Video(5000, true)}));
}

TEST_F(RemoteSource, CodecWaitComesBeforeSeekWait)
{
    ASSERT_TRUE(source.WaitForSeek(2.0));
    auto codec = Codec();
    EXPECT_TRUE(Push(Block({SeekMarker(2.0), Video(0, true), codec, Video(1000, true), SeekMarker(2.0), Audio(2000)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({codec, SeekMarker(2.0), Audio(2000)}));
}

TEST_F(RemoteSource, AnUnfinishedBlockIsResumedWhereItStopped)
{
    Prime();
    auto v1 = Video(0, true, 64);
    auto v2 = Video(40, false, 64);
    auto seek = SeekMarker(1.0);
    auto v3 = Video(80, false, 64);
    auto v4 = Video(120, false, 64);
    const auto block = Block({v1, v2, seek, v3, v4});

    dest.capacity = 2;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(Push(block));
    // Seek markers are never held back by a busy destination (after one short wait).
    EXPECT_EQ(Describe(dest.Records()), Describe({v1, v2, seek}));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
    const uint32_t v3Offset = SerializedSize(*v1) + SerializedSize(*v2) + SerializedSize(*seek);
    EXPECT_EQ(source.GetPosition(), v3Offset);

    EXPECT_FALSE(Push(block)); // still busy: nothing more, nothing again
    EXPECT_EQ(dest.Count(), 3u);
    EXPECT_EQ(source.GetPosition(), v3Offset);

    dest.capacity = -1;
    EXPECT_TRUE(Push(block));
    EXPECT_EQ(Describe(dest.Records()), Describe({v1, v2, seek, v3, v4}));
    EXPECT_EQ(source.GetPosition(), 0u);
}

TEST_F(RemoteSource, WaitForSeekWithoutATimeRestartsTheNextBlockAtItsStart)
{
    Prime();
    dest.capacity = 1;
    EXPECT_FALSE(Push(Block({Video(0, true), Video(40, false), Video(80, false)})));
    EXPECT_NE(source.GetPosition(), 0u);

    source.WaitForSeek();
    EXPECT_EQ(source.GetPosition(), 0u);
    dest.capacity = -1;
    dest.Clear();
    EXPECT_TRUE(Push(Block({SeekMarker(9.0), Video(9000, true)})));
    EXPECT_EQ(Describe(dest.Records()), Describe({SeekMarker(9.0), Video(9000, true)}));
}

TEST_F(RemoteSource, SeekSendsOneMarkerToEveryDestination)
{
    RecordingDest second;
    second.status = FFStatus::Paused; // a seek is not held back by a busy destination
    source.ConnectNode(&second);
    source.Seek(12.5);
    ASSERT_EQ(dest.Count(), 1u);
    ASSERT_EQ(second.Count(), 1u);
    EXPECT_EQ(dest.Records()[0], second.Records()[0]);
    auto* marker = dynamic_cast<FFSeekInfo*>(dest.Records()[0].get());
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(marker->time, 12.5);
    source.DisconnectNode();
}

TEST(RemoteSourceUnwired, BlocksGoNowhereWithoutDestinations)
{
    FFRemoteSource source;
    auto block = Block({Codec(), Video(0, true, 10)});
    EXPECT_TRUE(source.Push(block.data(), static_cast<uint32_t>(block.size())));
    EXPECT_FALSE(source.IsWaitingForCodec());
    EXPECT_TRUE(source.Push(nullptr, 0));
}

} // namespace

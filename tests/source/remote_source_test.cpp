// The remote source rebuilds the records of serialized blocks and pushes them,
// waiting for a codec description first, and resumes a block it could not
// finish. Records are compared by their wire form: what arrives must write
// out to exactly the bytes that were sent. (Seek waits are tested through the
// remote player in tests/serving/remote_seek_test.cpp.)
#include <gtest/gtest.h>

#include "source/FFRemoteSource.h"
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

// The wire form of what a destination received.
std::vector<uint8_t> Received(const CapturingDest<FFData>& dest)
{
    std::vector<uint8_t> out;
    for (const auto& r : dest.Records()) {
        auto s = r->Serialize();
        out.insert(out.end(), s->data.get(), s->data.get() + s->size);
    }
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

    CapturingDest<FFData> dest;
    FFRemoteSource source;
};

} // namespace

TEST_F(RemoteSource, BatchArrivesAsTheSameRecordsInOrder)
{
    EXPECT_EQ(source.GetMetaInfo(), nullptr); // it describes itself only through its records
    const auto block = Block({Codec(1, 90000, true, 5), MakePacket(FFStreamType::Video, 3000, true, 1000, 0x11),
                              MakePacket(FFStreamType::Audio, 1024, true, 200, 0x22),
                              MakePacket(FFStreamType::Video, 6000, false, 300, 0x33), SeekMarker(3.5),
                              std::make_shared<FFEOSInfo>(),
                              std::make_shared<FFConnectionInfo>(ConnectionStatus::ConnectionLost, "gone")});
    EXPECT_TRUE(source.IsWaitingForCodec());
    EXPECT_TRUE(Push(block));
    EXPECT_EQ(Received(dest), block);
    EXPECT_EQ(source.GetPosition(), 0u);
    EXPECT_FALSE(source.IsWaitingForCodec());
}

TEST_F(RemoteSource, RecordsBeforeACodecDescriptionAreDropped)
{
    EXPECT_TRUE(Push(Block({Video(0, true), Audio(0)})));
    EXPECT_EQ(dest.Count(), 0u);

    auto codec = Codec(1, 1000);
    EXPECT_TRUE(Push(Block({Video(40, false), Audio(40), codec, Video(80, true), Audio(80)})));
    EXPECT_EQ(Received(dest), Block({codec, Video(80, true), Audio(80)}));

    // Once the codec is known, packets stream without one.
    dest.Clear();
    EXPECT_TRUE(Push(Block({Video(120, false)})));
    EXPECT_EQ(dest.Count(), 1u);

    // Resynchronising waits for the next description again, before any seek wait.
    source.Resynchronise();
    ASSERT_TRUE(source.WaitForSeek(2.0));
    dest.Clear();
    EXPECT_TRUE(Push(Block({SeekMarker(2.0), Video(160, false), Codec(1, 25), Video(200, true), SeekMarker(2.0),
                            Audio(2000)})));
    EXPECT_EQ(Received(dest), Block({Codec(1, 25), SeekMarker(2.0), Audio(2000)}));
}

TEST_F(RemoteSource, AnUnfinishedBlockIsResumedWhereItStoppedAndSeekMarkersAreNotHeldBack)
{
    ASSERT_TRUE(Push(Block({Codec()})));
    dest.Clear();
    const auto head = Block({Video(0, true, 64), Video(40, false, 64), SeekMarker(1.0)});
    const auto block = Block({Video(0, true, 64), Video(40, false, 64), SeekMarker(1.0), Video(80, false, 64),
                              Video(120, false, 64)});
    dest.capacity = 2;
    EXPECT_FALSE(Push(block));
    EXPECT_EQ(Received(dest), head);
    EXPECT_EQ(source.GetPosition(), head.size());
    EXPECT_FALSE(Push(block)); // still busy: nothing more, nothing again
    EXPECT_EQ(dest.Count(), 3u);

    dest.capacity = -1;
    EXPECT_TRUE(Push(block));
    EXPECT_EQ(Received(dest), block);
    EXPECT_EQ(source.GetPosition(), 0u);
}

TEST_F(RemoteSource, SeekSendsOneMarkerToEveryDestination)
{
    CapturingDest<FFData> second;
    second.status = FFStatus::Paused; // a seek is not held back by a busy destination
    source.ConnectNode(&second);
    source.Seek(12.5);
    ASSERT_EQ(dest.Count(), 1u);
    ASSERT_EQ(second.Count(), 1u);
    EXPECT_EQ(dest.Records()[0], second.Records()[0]);
    EXPECT_EQ(Received(dest), Block({SeekMarker(12.5)}));
    source.DisconnectNode(); // before `second` goes
}

TEST(RemoteSourceUnwired, BlocksGoNowhereWithoutDestinations)
{
    FFRemoteSource source;
    auto block = Block({Codec(), Video(0, true, 10)});
    EXPECT_TRUE(source.Push(block.data(), static_cast<uint32_t>(block.size())));
    EXPECT_FALSE(source.IsWaitingForCodec());
    EXPECT_TRUE(source.Push(nullptr, 0));
}

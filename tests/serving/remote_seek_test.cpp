// The remote player's own stream control: waiting for the marker of a seek
// it asked the sender for, resynchronising on the next stream description
// after a flush, and resuming a block it could not take in one go.
#include <algorithm>

#include <gtest/gtest.h>

#include "core/FFControlInfo.h"
#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

WireRecord SeekMarker(double seconds)
{
    auto s = FFSeekInfo(seconds).Serialize();
    return {3, static_cast<int32_t>(s->attribute), std::vector<uint8_t>(s->data.get(), s->data.get() + s->size)};
}

// Indices of the video key packets, in stream order.
std::vector<size_t> KeyPackets(const std::vector<WireRecord>& records)
{
    std::vector<size_t> keys;
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].type == 1 && records[i].attribute == 1)
            keys.push_back(i);
    return keys;
}

std::vector<PictureHash> From(const std::vector<PictureHash>& pictures, double seconds)
{
    std::vector<PictureHash> out;
    std::copy_if(pictures.begin(), pictures.end(), std::back_inserter(out),
                 [&](const PictureHash& p) { return p.time >= seconds - 1e-6; });
    return out;
}

struct RemoteFixture : ::testing::Test {
    void SetUp() override
    {
        clip = ServingClip();
        direct = PlayDirectly(clip);
        records = ServeAllRecords(clip);
        keys = KeyPackets(records);
        ASSERT_EQ(keys.size(), 5u); // 0, 0.4, 0.8, 1.2, 1.6 s
        remote.EnableAudio(false);
        remote.DecodeVideo(AV_PIX_FMT_BGR24);
    }

    std::string clip;
    std::vector<PictureHash> direct;
    std::vector<WireRecord> records;
    std::vector<size_t> keys;
    FFRemoteWrapper remote{"RemoteSeek"};
    std::vector<PictureHash> pictures;
};

} // namespace

TEST_F(RemoteFixture, WaitForSeekDropsEverythingUntilItsOwnMarker)
{
    EXPECT_TRUE(remote.WaitForSeek(1.2));
    EXPECT_FALSE(remote.WaitForSeek(1.205)); // the same seek is already awaited
    EXPECT_TRUE(remote.WaitForSeek(1.22));
    EXPECT_TRUE(remote.WaitForSeek(1.2));

    // What the sender had in flight, a marker of another seek and what followed
    // it, then the marker that was asked for.
    std::vector<WireRecord> stream(records.begin(), records.begin() + static_cast<long>(keys[3]));
    stream.push_back(SeekMarker(0.4));
    stream.insert(stream.end(), records.begin() + static_cast<long>(keys[1]), records.begin() + static_cast<long>(keys[3]));
    stream.push_back(SeekMarker(1.205));
    stream.insert(stream.end(), records.begin() + static_cast<long>(keys[3]), records.end());

    // Carried in batches of 30 records, as a client would receive them.
    for (size_t at = 0; at < stream.size(); at += 30)
        ASSERT_TRUE(FeedBlock(remote, JoinRecords(stream, at, at + 30), pictures));
    ASSERT_TRUE(DrainRemote(remote, pictures)) << pictures.size() << " pictures, first at "
                                               << (pictures.empty() ? -1.0 : pictures.front().time);
    // The decoder shows nothing before the marker's time.
    EXPECT_EQ(pictures, From(direct, 1.205));
}

TEST_F(RemoteFixture, FlushWaitsForTheNextStreamDescription)
{
    ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, 0, keys[2]), pictures));
    ASSERT_TRUE(WaitFor([&] {
        TakeReadyPictures(remote, pictures);
        return pictures.size() >= 15;
    }));
    // The decoder may hold back the last few for reordering.
    EXPECT_EQ(pictures, std::vector<PictureHash>(direct.begin(), direct.begin() + static_cast<long>(pictures.size())));

    remote.Flush();
    pictures.clear();
    // Without a description these go nowhere, though the block is taken.
    ASSERT_TRUE(remote.WritePacket(JoinRecords(records, keys[2], keys[3])));
    std::this_thread::sleep_for(100ms);
    TakeReadyPictures(remote, pictures);
    EXPECT_TRUE(pictures.empty());

    // Packets ahead of the description in the same block are dropped too.
    std::vector<WireRecord> resync(records.begin() + static_cast<long>(keys[2]),
                                   records.begin() + static_cast<long>(keys[3]));
    resync.push_back(records.front());
    resync.insert(resync.end(), records.begin() + static_cast<long>(keys[3]), records.end());
    ASSERT_TRUE(FeedBlock(remote, JoinRecords(resync), pictures));
    ASSERT_TRUE(DrainRemote(remote, pictures));
    EXPECT_EQ(pictures, From(direct, 1.2));
}

TEST(RemoteResume, AnUnfinishedBlockResumesWhereItStopped)
{
    const std::string clip = LongServingClip();
    const std::vector<PictureHash> direct = PlayDirectly(clip);
    const std::vector<WireRecord> records = ServeAllRecords(clip);
    ASSERT_GT(direct.size(), 200u);

    FFRemoteWrapper remote("RemoteResume");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    // The whole stream in one block: far more than the decoder queues.
    const std::vector<uint8_t> block = JoinRecords(records);
    std::vector<PictureHash> pictures;
    int refused = 0;
    ASSERT_TRUE(WaitFor([&] {
        if (remote.WritePacket(block))
            return true;
        ++refused;
        TakeReadyPictures(remote, pictures);
        return false;
    }, 60s));
    EXPECT_GT(refused, 0);
    ASSERT_TRUE(DrainRemote(remote, pictures));
    EXPECT_EQ(pictures, direct); // nothing twice, nothing lost
}

TEST(RemoteResume, WaitForSeekWithoutTimeReadsTheNextBlockFromItsStart)
{
    const std::string clip = LongServingClip();
    const std::vector<WireRecord> records = ServeAllRecords(clip);
    FFRemoteWrapper remote("RemoteRestart");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    const std::vector<uint8_t> whole = JoinRecords(records);
    const std::vector<uint8_t> marker = SeekMarker(0.0).bytes;

    // Left unfinished, the kept position lies beyond a short block's end.
    ASSERT_FALSE(remote.WritePacket(whole));
    EXPECT_FALSE(remote.WritePacket(marker));

    ASSERT_FALSE(remote.WritePacket(whole));
    remote.WaitForSeek();
    EXPECT_TRUE(remote.WritePacket(marker));
}

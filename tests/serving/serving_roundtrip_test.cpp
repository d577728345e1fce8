// A played file served to clients whose batches are carried into a remote
// player: the remote player shows exactly what direct playback shows, from
// the start or from a seek the server made, and no client misses a record.
#include <algorithm>
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

namespace {

class ServingRoundTrip : public ::testing::Test {
protected:
    void SetUp() override
    {
        direct = PlayDirectly(clip);
        ASSERT_EQ(direct.size(), 50u);
        server.SetSource(clip);
        client = server.AddClient();
        ASSERT_TRUE(client);
        remote.EnableAudio(false);
        remote.DecodeVideo(AV_PIX_FMT_BGR24);
    }
    // Carries the client's next batch into the remote player and takes the
    // pictures it made; true once the remote player reached the end.
    bool Carry()
    {
        const auto batch = client->GetNextPacket();
        if (!batch.empty()) {
            const auto records = SplitBatch(batch);
            EXPECT_LE(records.size(), 30u);
            carried.insert(carried.end(), records.begin(), records.end());
            EXPECT_TRUE(FeedBlock(remote, batch, pictures));
        }
        return TakeReadyPictures(remote, pictures);
    }

    const std::string clip = ServingClip();
    std::vector<PictureHash> direct, pictures;
    FFPlayServerWrapper server{"ServingServer"};
    FFOutgoingHandle client;
    std::vector<WireRecord> carried;
    FFRemoteWrapper remote{"ServingRemote"};
};

} // namespace

TEST_F(ServingRoundTrip, RemotePicturesEqualDirectPlaybackAndEveryClientGetsEveryRecord)
{
    // A second client, drained on a thread of its own as an application would.
    FFOutgoingHandle other = server.AddClient();
    ASSERT_TRUE(other);
    std::atomic<bool> otherDone{false};
    std::vector<WireRecord> otherRecords;
    std::thread reader([&] {
        ASSERT_TRUE(WaitFor([&] {
            for (auto& r : SplitBatch(other->GetNextPacket()))
                otherRecords.push_back(std::move(r));
            return !otherRecords.empty() && otherRecords.back().type == 4;
        }, 60s));
        otherDone = true;
    });
    ASSERT_TRUE(server.StartEngine());
    EXPECT_TRUE(WaitFor([&] { return Carry(); }, 60s));
    reader.join();
    ASSERT_TRUE(otherDone);
    EXPECT_EQ(pictures, direct);

    // The stream description, every packet of the file, end of stream; the same bytes for both.
    ASSERT_EQ(carried.size(), ProbePacketCount(clip) + 2);
    EXPECT_EQ(carried.front().type, 5);
    EXPECT_EQ(carried.back().type, 4);
    ASSERT_EQ(otherRecords.size(), carried.size());
    for (size_t i = 0; i < carried.size(); ++i)
        ASSERT_EQ(carried[i].bytes, otherRecords[i].bytes) << "record " << i;
}

TEST_F(ServingRoundTrip, ASeekOnTheServerReachesTheRemotePlayerThroughItsMarker)
{
    ASSERT_TRUE(server.StartEngine());
    ASSERT_TRUE(WaitFor([&] {
        Carry();
        return pictures.size() >= 5;
    }));
    // The application tells its player to wait for the seek it asks the
    // sender for. Pictures of the video carried so far may still show; the
    // rest of the file, still on its way before the marker, must not.
    const auto videoCarried = std::count_if(carried.begin(), carried.end(), [](const WireRecord& r) {
        return r.type == 1 && WireI32(r.bytes.data() + 96) == 1;
    });
    EXPECT_TRUE(remote.WaitForSeek(1.2));
    ASSERT_TRUE(WaitFor([&] {
        EXPECT_FALSE(Carry());
        return carried.back().type == 4;
    }));
    server.Seek(1.2);
    ASSERT_TRUE(WaitFor([&] { return Carry(); }));

    // From the first picture at the target on, the player shows exactly the file from there.
    const auto first = std::find_if(pictures.begin(), pictures.end(),
                                    [](const PictureHash& p) { return p.time >= 1.2 - 1e-6; });
    ASSERT_NE(first, pictures.end());
    const auto before = first - pictures.begin();
    EXPECT_LE(before, videoCarried);
    EXPECT_EQ(std::vector<PictureHash>(pictures.begin(), first),
              std::vector<PictureHash>(direct.begin(), direct.begin() + before));
    ASSERT_EQ(direct[30].time, 1.2);
    EXPECT_EQ(std::vector<PictureHash>(first, pictures.end()), std::vector<PictureHash>(direct.begin() + 30, direct.end()));
}

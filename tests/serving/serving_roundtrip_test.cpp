// A played file served to two clients, one client's batches carried into a
// remote player: the remote player must show exactly what direct playback
// shows, and neither client may miss a record.
#include <algorithm>
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;
using namespace std::chrono_literals;

TEST(ServingRoundTrip, RemotePicturesEqualDirectPlaybackAndBothClientsGetEveryRecord)
{
    const std::string clip = ServingClip();
    const std::vector<PictureHash> direct = PlayDirectly(clip);
    ASSERT_EQ(direct.size(), 50u);

    FFPlayServerWrapper server("ServingServer");
    server.SetSource(clip);
    FFOutgoingHandle a = server.AddClient();
    FFOutgoingHandle b = server.AddClient();
    ASSERT_TRUE(a && b);

    FFRemoteWrapper remote("ServingRemote");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);

    // The second client is drained on a thread of its own, as an application would.
    std::atomic<bool> stop{false};
    std::atomic<bool> bDone{false};
    std::vector<WireRecord> bRecords;
    std::thread bReader([&] {
        while (!stop && !bDone) {
            auto batch = b->GetNextPacket();
            if (batch.empty()) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            for (auto& r : SplitBatch(batch))
                bRecords.push_back(std::move(r));
            bDone = bRecords.back().type == 4;
        }
    });

    ASSERT_TRUE(server.StartEngine());
    std::vector<WireRecord> aRecords;
    std::vector<PictureHash> remotePictures;
    bool ended = false;
    ASSERT_TRUE(WaitFor([&] {
        auto batch = a->GetNextPacket();
        if (!batch.empty()) {
            EXPECT_LE(SplitBatch(batch).size(), 30u);
            for (auto& r : SplitBatch(batch))
                aRecords.push_back(std::move(r));
            EXPECT_TRUE(FeedBlock(remote, batch, remotePictures));
        }
        ended = TakeReadyPictures(remote, remotePictures) || ended;
        return ended;
    }, 60s));
    EXPECT_TRUE(WaitFor([&] { return bDone.load(); }));
    stop = true;
    bReader.join();

    EXPECT_EQ(remotePictures, direct);

    // Every client: the stream description, every packet of the file, end of stream.
    const size_t packets = ProbePacketCount(clip);
    for (const auto* records : {&aRecords, &bRecords}) {
        ASSERT_EQ(records->size(), packets + 2);
        EXPECT_EQ(records->front().type, 5);
        EXPECT_EQ(records->back().type, 4);
    }
    for (size_t i = 0; i < aRecords.size(); ++i)
        ASSERT_EQ(aRecords[i].bytes, bRecords[i].bytes) << "record " << i;
}

TEST(ServingRoundTrip, ASeekOnTheServerReachesTheRemotePlayerThroughItsMarker)
{
    const std::string clip = ServingClip();
    const std::vector<PictureHash> direct = PlayDirectly(clip);
    FFPlayServerWrapper server("ServingSeekServer");
    server.SetSource(clip);
    FFOutgoingHandle client = server.AddClient();
    ASSERT_TRUE(client);
    FFRemoteWrapper remote("ServingSeekRemote");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    ASSERT_TRUE(server.StartEngine());

    std::vector<PictureHash> pictures;
    auto carry = [&] {
        auto batch = client->GetNextPacket();
        if (!batch.empty()) {
            EXPECT_TRUE(FeedBlock(remote, batch, pictures));
        }
        return TakeReadyPictures(remote, pictures);
    };
    ASSERT_TRUE(WaitFor([&] {
        carry();
        return pictures.size() >= 5;
    }));

    // The application asks the sender to seek and tells its player to wait for it.
    EXPECT_TRUE(remote.WaitForSeek(1.2));
    server.Seek(1.2);
    ASSERT_TRUE(WaitFor(carry));

    // Pictures decoded before the marker came may still show; from the first
    // one at the target on, the player shows exactly the file from there.
    const auto first = std::find_if(pictures.begin(), pictures.end(),
                                    [](const PictureHash& p) { return p.time >= 1.2 - 1e-6; });
    ASSERT_NE(first, pictures.end());
    const size_t before = static_cast<size_t>(first - pictures.begin());
    EXPECT_EQ(std::vector<PictureHash>(pictures.begin(), first),
              std::vector<PictureHash>(direct.begin(), direct.begin() + static_cast<long>(before)));
    std::vector<PictureHash> after(first, pictures.end());
    std::vector<PictureHash> expected(direct.begin() + 30, direct.end());
    ASSERT_EQ(expected.front().time, 1.2);
    EXPECT_EQ(after, expected);
}

// Serving a file to clients. Carried into a remote player (by hand, and by
// `ffwrap relay` over loopback TCP), the batches show exactly what direct
// playback shows, from the start or from a seek the server made, and no
// client misses a record. Client handles outlive their facade; removal is
// forgiving. A client that never reads while its server reads a 12 s clip at
// full speed: a live server's client keeps at most one group of pictures
// (10 video packets and 0.4 s of audio, about 20 packets) behind the stream
// description and never holds the source back; a playback server's client
// holds it back at the queue's limit and then receives everything. (Which
// records each queue keeps is tabled in serialize/FFOutgoingTest.)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serialize/FFOutgoing.h"
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

template <typename Server>
FFOutgoingHandle IdleClient(Server& server)
{
    server.SetSource(LongServingClip());
    FFOutgoingHandle client = server.AddClient();
    EXPECT_TRUE(client && server.StartEngine());
    return client;
}

} // namespace

TEST_F(ServingRoundTrip, RemotePicturesEqualDirectPlaybackAndEveryClientGetsEveryRecord)
{
    // A client removed before the start (twice, as a forgiving removal) gets nothing.
    FFOutgoingHandle gone = server.AddClient();
    ASSERT_TRUE(gone);
    server.RemoveClient(gone);
    server.RemoveClient(gone);
    server.RemoveClient(nullptr);
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
    EXPECT_TRUE(gone->GetNextPacket().empty());

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

TEST(ServingDisposal, HandlesOutliveTheirFacade)
{
    auto server = std::make_unique<FFPlayServerWrapper>("ServingOutlive");
    server->SetSource(ServingClip());
    FFOutgoingHandle client = server->AddClient();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server->StartEngine());
    ASSERT_TRUE(WaitFor([&] { return client->GetOut()->QueuedRecords() > 5; }));

    server.reset();
    EXPECT_EQ(client->GetOut(), nullptr);
    EXPECT_TRUE(client->GetNextPacket().empty());

    FFFileServerWrapper live("ServingOutliveLive");
    live.SetSource(ServingClip());
    FFOutgoingHandle liveClient = live.AddClient();
    ASSERT_TRUE(liveClient);
    live.Dispose();
    EXPECT_TRUE(liveClient->GetNextPacket().empty());
    // Everything after disposal answers with nothing.
    EXPECT_EQ(live.AddClient(), nullptr);
    EXPECT_EQ(live.GetNumberOutgoingPackets(), 0u);
    live.RemoveClient(liveClient);
    live.Dispose();
}

TEST(ServingDisposal, LiveSourceStaysOpenForTheRecordingAfterTheLastClientLeaves)
{
    const std::string recording = "serving_recording.mp4";
    std::remove(recording.c_str());
    FFFileServerWrapper live("ServingRecording");
    live.SetSource(LongServingClip());
    FFOutgoingHandle client = live.AddClient();
    ASSERT_TRUE(client);
    live.SaveToVideoFile(recording);
    // The file has started once its name is no longer pending. The clip is read
    // faster than real time, so the file may already be finished by then.
    ASSERT_TRUE(WaitFor([&] {
        bool pending = false;
        live.IsVideoSave(pending);
        return !pending;
    }));

    live.RemoveClient(client);
    EXPECT_EQ(live.Width(), 64); // still open: the recording uses it
    live.StopVideoSave();
    EXPECT_EQ(live.Width(), 0); // nobody left: closed
    EXPECT_FALSE(Capture("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + recording).empty());
}

TEST(ServingSlowClients, LiveClientThatNeverReadsHoldsAtMostOneGroupOfPictures)
{
    FFFileServerWrapper server("ServingLive");
    FFOutgoingHandle idle = IdleClient(server);
    ASSERT_TRUE(idle);
    size_t most = 0;
    WaitFor([&] {
        most = std::max(most, idle->GetOut()->QueuedRecords());
        return false;
    }, 1000ms);
    EXPECT_LT(most, 40u);

    idle->GetOut()->SetNumberOutgoingPackets(1000);
    const std::vector<WireRecord> left = SplitBatch(idle->GetNextPacket());
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back().type, 4); // end of stream came through
    EXPECT_LE(std::count_if(left.begin(), left.end(), [](const WireRecord& r) { return r.attribute == 1; }), 1);
    // The stream description survives every drop and stays in front, once.
    EXPECT_EQ(left.front().type, 5);
    EXPECT_EQ(std::count_if(left.begin(), left.end(), [](const WireRecord& r) { return r.type == 5; }), 1);
    if (left.size() > 2) {
        EXPECT_EQ(left[1].attribute, 1) << "a video key packet follows the description";
    }
}

TEST(ServingSlowClients, PlaybackClientHoldsTheSourceBackAndReceivesEverything)
{
    FFPlayServerWrapper server("ServingPlayback");
    FFOutgoingHandle slow = IdleClient(server);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(WaitFor([&] { return slow->GetOut()->QueuedRecords() > 300; }));
    std::this_thread::sleep_for(300ms);
    size_t most = slow->GetOut()->QueuedRecords();
    EXPECT_GE(most, 301u);

    std::vector<WireRecord> records;
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : SplitBatch(slow->GetNextPacket()))
            records.push_back(std::move(r));
        most = std::max(most, slow->GetOut()->QueuedRecords());
        return !records.empty() && records.back().type == 4;
    }));
    EXPECT_LE(most, 305u);
    const size_t packets = ProbePacketCount(LongServingClip());
    ASSERT_GT(packets, 350u);
    EXPECT_EQ(records.size(), packets + 2);
}

TEST(RelayTool, EverySentBatchArrivesAndEveryPictureIsShown)
{
    if (!std::filesystem::exists(kFfwrap))
        GTEST_SKIP() << "ffwrap is not built in this tree";
    const std::string clip = ServingClip();
    const std::string out = Capture(kFfwrap + " relay " + clip + " 2>&1; echo exit=$?");
    const size_t records = ProbePacketCount(clip) + 2;
    EXPECT_NE(out.find("sent: "), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(records) + " records"), std::string::npos) << out;
    EXPECT_NE(out.find("50 pictures, end of stream"), std::string::npos) << out;
    EXPECT_NE(out.find("relay complete"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}

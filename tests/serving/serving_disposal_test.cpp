// Client handles outlive their facade, removal is forgiving, and a facade
// without a source or after disposal answers with nothing.
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serialize/FFOutgoing.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;

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

TEST(ServingDisposal, RemovalIsForgivingAndLeavesOtherClientsServed)
{
    FFPlayServerWrapper server("ServingRemove");
    server.SetSource(ServingClip());
    server.RemoveClient(nullptr);
    FFOutgoingHandle gone = server.AddClient();
    FFOutgoingHandle kept = server.AddClient();
    ASSERT_TRUE(gone && kept);

    server.RemoveClient(gone);
    server.RemoveClient(gone);
    server.RemoveClient(nullptr);
    EXPECT_TRUE(gone->GetNextPacket().empty());

    ASSERT_TRUE(server.StartEngine());
    std::vector<WireRecord> records;
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : SplitBatch(kept->GetNextPacket()))
            records.push_back(std::move(r));
        return !records.empty() && records.back().type == 4;
    }));
    EXPECT_EQ(records.size(), ProbePacketCount(ServingClip()) + 2);
    EXPECT_TRUE(gone->GetNextPacket().empty());
}

TEST(ServingDisposal, LiveSourceStaysOpenForTheRecordingAfterTheLastClientLeaves)
{
    const std::string clip = LongServingClip();
    const std::string recording = "serving_recording.mp4";
    std::remove(recording.c_str());
    FFFileServerWrapper live("ServingRecording");
    live.SetSource(clip);
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

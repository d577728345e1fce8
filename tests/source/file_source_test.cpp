// The file source: every video and audio packet once, in demux order, behind
// the description and ahead of one end-of-stream marker, whatever the reader
// meets (a container without a duration, a full or paused destination,
// stops and restarts, destinations coming and going, a network input whose
// reads fail over and over past its end), with render sizes that
// apply the sample aspect; stopping and closing while it pushes (how long a
// stop waits for a held thread is the worker's own test); errors raised
// downstream; a reader that sleeps (for room downstream, at the end of
// the input) wakes for each record a destination takes, for a seek and for a
// stop; a network input stopped while its read waits goes on without a
// broken or repeated packet; a web server that cuts a connection short
// costs no packet. Refused inputs are in facade/hostile_input_test.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <list>
#include <optional>
#include <sstream>
#include <thread>

#include "source/FFSource.h"
#include "support/StallingHttpServer.h"
#include "source/file_source_support.h"

namespace Quillet::FileSourceTest {
namespace {

using namespace std::chrono_literals;

// The network rows come last. Cut off halfway by the server, a seekable input
// (a file, or each segment of a playlist) asks for the rest and goes on with
// every packet once. Stopped halfway, while the read waits for the rest, a
// seekable input (a file, or a finished playlist) goes on with every packet
// once and whole; a live one goes on from its next key picture, with whole
// packets in order.
enum class Disturb {
    None, ConnectedBeforeOpen, FullAndPaused, StartsAndStops, DestinationsComeAndGo,
    ServedThenStalled, DroppedMidway, SegmentsDroppedMidway, StoppedWhileWaiting, LiveStoppedWhileWaiting,
    PlaylistStoppedWhileWaiting
};

struct ReadRow {
    const char* name;
    std::string (*clip)();
    std::string (*durationOf)(); // the clip whose duration ffprobe can tell
    Disturb disturb;
    int renderWidth = 160, renderHeight = 120; // with the sample aspect applied
};

// A source reporting to `messenger`, and the destination it is to push to.
class FileSourceRead : public ::testing::TestWithParam<ReadRow> {
protected:
    void SetUp() override { source.SetMessenger(&messenger); }

    Testing::CapturingMessenger messenger{"file_source_test"};
    FFSource source;
    RecordingDest dest;
};

TEST_P(FileSourceRead, DeliversEveryVideoAndAudioPacketOnceInDemuxOrderThenOneEnd)
{
    const ReadRow& row = GetParam();
    const bool early = row.disturb == Disturb::ConnectedBeforeOpen;
    const bool network = row.disturb >= Disturb::ServedThenStalled;
    const bool dropped = row.disturb == Disturb::DroppedMidway;
    const bool playlist =
        row.disturb == Disturb::SegmentsDroppedMidway || row.disturb == Disturb::PlaylistStoppedWhileWaiting;
    const bool stopped = row.disturb > Disturb::SegmentsDroppedMidway;
    const bool live = row.disturb == Disturb::LiveStoppedWhileWaiting;
    std::optional<Testing::StallingHttpServer> server;
    std::list<Testing::StallingHttpServer> segmentServers;
    std::string input = row.clip();
    Testing::StallingHttpServer* stalling = nullptr; // the server a stopped row stalls on
    if (playlist) { // each segment on a server of its own, which cuts it (or the second) halfway
        const auto text = Testing::ReadBytes(input);
        std::istringstream lines(std::string(text.begin(), text.end()));
        std::string served;
        for (std::string line; std::getline(lines, line); served += line + "\n") {
            if (line.empty() || line[0] == '#')
                continue;
            const auto bytes = Testing::ReadBytes((std::filesystem::path(input).parent_path() / line).string());
            const bool second = segmentServers.size() == 1;
            auto& segment = segmentServers.emplace_back(
                std::string(bytes.begin(), bytes.end()),
                stopped ? Testing::StallingOptions{.seekable = true, .holdAt = second ? bytes.size() / 2 : SIZE_MAX}
                        : Testing::StallingOptions{.seekable = true, .dropAt = bytes.size() / 2});
            if (second)
                stalling = &segment;
            line = segment.Url() + ".ts";
        }
        server.emplace(served, Testing::StallingOptions{.seekable = true});
        input = "http://127.0.0.1:" + std::to_string(server->Port()) + "/clip.m3u8";
    } else if (network) {
        const std::vector<uint8_t> bytes = Testing::ReadBytes(input);
        server.emplace(std::string(bytes.begin(), bytes.end()),
                       stopped   ? Testing::StallingOptions{.seekable = !live, .holdAt = bytes.size() / 2}
                       : dropped ? Testing::StallingOptions{.seekable = true, .dropAt = bytes.size() / 2}
                                 : Testing::StallingOptions{});
        input = server->Url();
        stalling = &*server;
    }
    if (network) // past the body each read times out after 1 s; one stopped waits longer than it lasts
        source.SetInterrupt(std::make_shared<SourceInterrupt>(), stopped ? 30.0 : 1.0);
    if (early)
        source.ConnectNode(&dest); // gets the closed source's empty description, then the open's
    ASSERT_TRUE(source.OpenSource(input));
    if (!network) { // a body without a length has no duration
        EXPECT_NEAR(source.GetDuration(), ProbeDuration(row.durationOf()), 0.1);
    }
    EXPECT_EQ(std::make_pair(source.RenderWidth(), source.RenderHeight()),
              std::make_pair(row.renderWidth, row.renderHeight));
    if (!early)
        source.ConnectNode(&dest);
    const size_t descriptions = early ? 2 : 1;

    std::atomic<bool> done{false};
    std::thread toggler;
    if (row.disturb == Disturb::StartsAndStops) {
        for (int round = 0; round < 50 && dest.Count(FFType::EOSInfo) == 0; ++round) {
            source.StartReadThread();
            std::this_thread::sleep_for(2ms);
            source.StopReadThread();
        }
    }
    if (row.disturb == Disturb::FullAndPaused)
        dest.SetStatus(FFStatus::Full);
    source.StartReadThread();
    if (stopped) { // once the reader has handed on all it could and waits
        ASSERT_TRUE(stalling->WaitUntilStalled(1, 20));
        for (size_t seen = 0; seen != dest.Count(); std::this_thread::sleep_for(300ms))
            seen = dest.Count();
        EXPECT_TRUE(FinishesWithin(20s, "a stop while the read waits", [&] { source.StopReadThread(); }));
        stalling->Release();
        source.StartReadThread();
    }
    if (row.disturb == Disturb::FullAndPaused) {
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(dest.Count(), descriptions) << "a full destination holds the source back";
        toggler = std::thread([&] {
            for (int i = 0; !done; ++i) {
                dest.SetStatus(i % 3 == 0 ? FFStatus::Ready : i % 3 == 1 ? FFStatus::Full : FFStatus::Paused);
                std::this_thread::sleep_for(i % 3 == 0 ? 40ms : 60ms);
            }
            dest.SetStatus(FFStatus::Ready);
        });
    }
    for (int i = 0; row.disturb == Disturb::DestinationsComeAndGo && i < 20; ++i) {
        RecordingDest extra;
        source.ConnectNode(&extra);
        std::this_thread::sleep_for(1ms);
        source.RemoveNode(&extra);
        extra.DisconnectFromSource();
        ASSERT_FALSE(extra.Records().empty());
        EXPECT_EQ(extra.Records().front()->GetType(), FFType::AVCodec);
    }
    const bool ended = dest.WaitFor(FFType::EOSInfo, 1, 60s);
    done = true;
    if (toggler.joinable())
        toggler.join();
    ASSERT_TRUE(ended);
    // Idle at the end, or failing reads there.
    std::this_thread::sleep_for(row.disturb == Disturb::ServedThenStalled ? 3s : 100ms);
    EXPECT_TRUE(source.IsReading());
    EXPECT_TRUE(FinishesWithin(20s, "the read thread's stop", [&] { source.StopReadThread(); }));
    EXPECT_FALSE(source.IsReading());

    const auto records = dest.Records();
    for (size_t i = 0; i < descriptions; ++i)
        EXPECT_EQ(records.at(i)->GetType(), FFType::AVCodec);
    std::vector<PacketFact> expected;
    for (const auto& p : ProbePackets(row.clip()))
        if (p.stream <= 1) // video and audio; a subtitle stream is dropped
            expected.push_back(p);
    ASSERT_GT(expected.size(), 9u);
    std::vector<PacketFact> got = dest.PacketsBefore(FFType::EOSInfo);
    if (live) { // one gap, from the cut to a key picture
        const auto gap = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        ASSERT_NE(gap.first, got.end()) << "nothing was lost, though the cut packet cannot come again";
        EXPECT_TRUE(gap.first->stream == 0 && gap.first->key) << "resumed at " << *gap.first;
        expected.erase(gap.second, std::find(gap.second, expected.end(), *gap.first));
    }
    EXPECT_EQ(got, expected);
    if (row.disturb != Disturb::StartsAndStops) { // a restart after the end reaches it anew
        EXPECT_EQ(dest.Count(FFType::EOSInfo), 1u);
    }
    EXPECT_EQ(records.back()->GetType(), FFType::EOSInfo);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, FileSourceRead,
    ::testing::Values(ReadRow{"Mp4", &AvMp4, &AvMp4, Disturb::None},
                      ReadRow{"MkvWithSubtitles", &AvsMkv, &AvsMkv, Disturb::None},
                      ReadRow{"TsWithoutDuration", &PaddedTs, &PlainTs, Disturb::None},
                      ReadRow{"ConnectedBeforeOpen", &AvMp4, &AvMp4, Disturb::ConnectedBeforeOpen},
                      ReadRow{"FullAndPaused", &AvMp4, &AvMp4, Disturb::FullAndPaused},
                      ReadRow{"StartsAndStops", &AvMp4, &AvMp4, Disturb::StartsAndStops},
                      ReadRow{"DestinationsComeAndGo", &AvMp4, &AvMp4, Disturb::DestinationsComeAndGo},
                      ReadRow{"ServedThenStalled", &PlainTs, &PlainTs, Disturb::ServedThenStalled},
                      ReadRow{"SeekableMp4DroppedMidway", &LongMp4, &LongMp4, Disturb::DroppedMidway, 320, 240},
                      ReadRow{"PlaylistSegmentsDroppedMidway", &LongHls, &LongHls, Disturb::SegmentsDroppedMidway, 320, 240},
                      ReadRow{"SeekableTsStoppedWhileWaiting", &LongTs, &LongTs, Disturb::StoppedWhileWaiting, 320, 240},
                      ReadRow{"SeekableMp4StoppedWhileWaiting", &LongMp4, &LongMp4, Disturb::StoppedWhileWaiting, 320, 240},
                      ReadRow{"PlaylistStoppedWhileWaiting", &LongHls, &LongHls, Disturb::PlaylistStoppedWhileWaiting, 320, 240},
                      ReadRow{"LiveTsStoppedWhileWaiting", &LongTs, &LongTs, Disturb::LiveStoppedWhileWaiting, 320, 240},
                      ReadRow{"WideSampleAspect", &WideSarMp4, &WideSarMp4, Disturb::None, 320, 120},
                      ReadRow{"TallSampleAspect", &TallSarMp4, &TallSarMp4, Disturb::None, 160, 240}),
    [](const auto& info) { return std::string(info.param.name); });

// What wakes a reader that has nothing to do. No wake-up comes but the one
// named, so a lost one stalls the row (a bounded wait fails), and a stop
// while it sleeps must end it (bounded too).
enum class Wake { RoomForOneRecordAtATime, SeekAtTheEnd };

class FileSourceWake : public ::testing::TestWithParam<Wake> {};

TEST_P(FileSourceWake, ASleepingReaderGoesOnAtOnceForWhatWakesIt)
{
    Testing::CapturingMessenger messenger("file_source_test");
    FFSource source;
    source.SetMessenger(&messenger);
    RecordingDest dest;
    ASSERT_TRUE(source.OpenSource(AvMp4()));
    source.ConnectNode(&dest);
    if (GetParam() == Wake::RoomForOneRecordAtATime) {
        // Full from the third record on; each step makes room for one more.
        dest.SetCapacity(2);
        source.StartReadThread();
        ASSERT_TRUE(Testing::WaitFor([&] { return dest.Count() == 2 && dest.statusQueries > 0; }));
        for (int records = 3; records <= 30; ++records) {
            dest.SetCapacity(records);
            ASSERT_TRUE(Testing::WaitFor([&] { return dest.Count() >= size_t(records); })) << "stalled at " << records;
        }
    } else {
        source.StartReadThread();
        ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 1));
        // Idle at the end: only the seek can wake it.
        source.Seek(1.0);
        ASSERT_TRUE(dest.WaitFor(FFType::SeekInfo, 1)) << "the seek was not taken up";
        ASSERT_TRUE(dest.WaitFor(FFType::EOSInfo, 2)) << "the reading after the seek stalled";
    }
    EXPECT_TRUE(FinishesWithin(20s, "the read thread's stop", [&] { source.StopReadThread(); }));
    EXPECT_FALSE(source.IsReading());
    source.DisconnectNode();
}

INSTANTIATE_TEST_SUITE_P(Wakes, FileSourceWake,
                         ::testing::Values(Wake::RoomForOneRecordAtATime, Wake::SeekAtTheEnd),
                         [](const auto& info) {
                             return std::string(info.param == Wake::SeekAtTheEnd ? "SeekAtTheEnd"
                                                                                 : "RoomForOneRecordAtATime");
                         });

TEST_F(FileSourceRead, ExceptionDownstreamEndsTheThreadWithASourceError)
{
    ASSERT_TRUE(source.OpenSource(AvMp4()));
    source.ConnectNode(&dest);
    dest.throwAfterPackets = 10;
    source.StartReadThread();
    ASSERT_TRUE(Testing::WaitFor([&] { return !messenger.Reports().empty(); }));
    const auto reports = messenger.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].what, "destination refuses packet");
    EXPECT_EQ(reports[0].message, 2);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(dest.Count(FFType::Packet), 10u);
    // The owner still sees a reading source until it stops it.
    EXPECT_TRUE(source.IsReading());
    EXPECT_TRUE(FinishesWithin(20s, "the read thread's stop", [&] { source.StopReadThread(); }));
    EXPECT_FALSE(source.IsReading());
}

TEST(FileSourceStop, StopAndCloseWhilePushingNeverDeadlock)
{
    for (int i = 0; i < 25; ++i) {
        Testing::CapturingMessenger messenger("file_source_test");
        auto source = std::make_unique<FFSource>();
        source->SetMessenger(&messenger);
        RecordingDest dest;
        ASSERT_TRUE(source->OpenSource(AvMp4()));
        source->ConnectNode(&dest);
        // Every third run the destination is full, so the thread sits in the
        // flow-control wait when it is told to stop.
        const bool full = i % 3 == 0;
        if (full)
            dest.SetStatus(FFStatus::Full);
        source->StartReadThread();
        if (full) {
            ASSERT_TRUE(Testing::WaitFor([&] { return dest.statusQueries > 0; }, 20s));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        const bool seeks = i % 4 == 1;
        if (seeks)
            source->Seek(0.5 * (i % 5));
        ASSERT_TRUE(FinishesWithin(20s, "a stop, close or destroy while pushing", [&] {
            if (i % 3 == 0)
                source->StopReadThread();
            else if (i % 3 == 1)
                source->CloseSource();
            else
                source.reset();
        }));
        if (source) {
            EXPECT_FALSE(source->IsReading());
            source->DisconnectNode();
        }
        // A record held back by a full destination is delivered, not lost,
        // when the thread is stopped; after a seek it is stale and dropped.
        EXPECT_GE(dest.Records().size(), full && !seeks ? 2u : 0u) << "run " << i;
    }
}

} // namespace
} // namespace Quillet::FileSourceTest

#pragma once
// Shared pieces of the file source tests: a destination that records what it
// is given, a messenger that remembers reports and log lines, and clips made
// with the ffmpeg command-line tool, with ffprobe as the independent oracle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <log4cpp/AppenderSkeleton.hh>

#include "core/FFControlInfo.h"
#include "core/FFData.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "events/FFMessenger.h"

namespace Quillet::FileSourceTest {

// One packet as ffprobe or the source reports it.
struct PacketFact {
    int stream = -1;
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    double ptsTime = 0.0;
    bool key = false;

    bool operator==(const PacketFact& o) const
    {
        return stream == o.stream && pts == o.pts && dts == o.dts && key == o.key;
    }
};
std::ostream& operator<<(std::ostream& os, const PacketFact& p);

// A destination that keeps every record and can hold its producer back.
class RecordingDest : public FFDestNode<FFData> {
public:
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    FFStatus GetStatus() override
    {
        ++statusQueries;
        return status.load();
    }

    std::vector<std::shared_ptr<FFData>> Records() const;
    size_t Count(FFType type) const;
    // Waits (at most `limit`) until `count` records of `type` have arrived.
    bool WaitFor(FFType type, size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    // Packets after the n-th record of `marker` (all packets when n is 0).
    std::vector<PacketFact> PacketsAfter(FFType marker, size_t n) const;
    // Packets received before the first record of `marker`.
    std::vector<PacketFact> PacketsBefore(FFType marker) const;

    std::atomic<FFStatus::FFStreamStatus> status{FFStatus::Ready};
    // When set, FFProcess throws once this many packets have arrived.
    std::atomic<int> throwAfterPackets{-1};
    std::atomic<int> statusQueries{0};

private:
    mutable std::mutex _mutex;
    mutable std::condition_variable _arrived;
    std::vector<std::shared_ptr<FFData>> _records;
    int _packets = 0;
};

PacketFact FactOf(const FFPacket& packet);

// A messenger whose category feeds a line store, and which remembers errors.
class TestMessenger : public FFMessenger {
public:
    struct Report {
        std::string where;
        std::string what;
        int message;
    };

    TestMessenger();
    ~TestMessenger() override;
    void Error(const std::string& where, const std::exception& e, int message) override;

    std::vector<Report> Reports() const;
    // Number of captured lines equal to `text` (at `priority`, when given).
    size_t CountLines(const std::string& text, int priority = -1) const;
    // Number of captured lines that begin with `prefix`.
    size_t CountLinesStartingWith(const std::string& prefix) const;

private:
    mutable std::mutex _mutex;
    std::vector<Report> _reports;
};

// Paths of clips in the tests' working folder, made on first use.
std::string AvMp4();      // 3 s, 160x120 H.264 with B-frames, GOP 25, AAC 48 kHz
std::string AvsMkv();     // the same plus a subtitle stream
std::string WideSarMp4(); // 160x120 with sample aspect 2:1
std::string TallSarMp4(); // 160x120 with sample aspect 1:2
std::string RawH264();    // bare elementary stream: no container facts at all
std::string PaddedTs();   // MPEG-TS whose end is so far away that no duration is found
std::string PlainTs();    // the same TS without the padding
std::string TruncatedMp4();
std::string NotMedia();

// ffprobe's account of a file: packets in demux order, the container duration.
std::vector<PacketFact> ProbePackets(const std::string& path);
double ProbeDuration(const std::string& path);

std::vector<PacketFact> OnlyStream(const std::vector<PacketFact>& packets, int stream);

// Runs `work` on a thread of its own and reports whether it ended in time.
bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work);

} // namespace Quillet::FileSourceTest

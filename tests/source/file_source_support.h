#pragma once
// What the file source tests share: the shared capturing destination and
// ffprobe oracle under their old names, a messenger on the test category, and
// clips made with the ffmpeg tool.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "core/FFControlInfo.h"
#include "support/CapturingDest.h"
#include "support/CapturingMessenger.h"
#include "support/Probe.h"

namespace Quillet::FileSourceTest {

using RecordingDest = Testing::CapturingDest<FFData>;
using Testing::FactOf;
using Testing::OnlyStream;
using Testing::PacketFact;
using Testing::ProbeDuration;
using Testing::ProbePackets;

// A messenger whose lines and error reports the test can read.
class TestMessenger : public Testing::CapturingMessenger {
public:
    TestMessenger();
    size_t CountLines(const std::string& text, int priority = -1) const { return capture.Count(text, priority); }
    size_t CountLinesStartingWith(const std::string& prefix) const { return capture.CountStartingWith(prefix); }
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

// Runs `work` on a thread of its own and reports whether it ended in time.
bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work);

} // namespace Quillet::FileSourceTest

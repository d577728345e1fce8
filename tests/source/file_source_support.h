#pragma once
// Clips the file source tests (and the refused-input table) read, made on
// first use with the ffmpeg tool in the tests' working folder, and the shared
// capturing destination, messenger and ffprobe oracle under short names.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "core/FFControlInfo.h"
#include "support/CapturingDest.h"
#include "support/CapturingMessenger.h"
#include "support/Probe.h"
#include "support/WaitFor.h"

namespace Quillet::FileSourceTest {

using RecordingDest = Testing::CapturingDest<FFData>;
using Testing::PacketFact;
using Testing::ProbeDuration;
using Testing::ProbePackets;

std::string AvMp4();      // 3 s, 160x120 H.264 with B-frames, GOP 25, AAC 48 kHz
std::string AvsMkv();     // the same plus a subtitle stream
std::string WideSarMp4(); // 160x120 with sample aspect 2:1
std::string TallSarMp4(); // 160x120 with sample aspect 1:2
std::string RawH264();    // bare elementary stream: no container facts at all
std::string PaddedTs();   // MPEG-TS whose end is so far away that no duration is found
std::string PlainTs();    // the same TS without the padding
std::string TruncatedMp4();
std::string NotMedia();

// Runs `work` on a thread of its own and reports whether it ended in time;
// a deadlock ends the test process.
bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work);

} // namespace Quillet::FileSourceTest

#pragma once
// The names the traffic-node and remote-source tests use for the shared test
// records and nodes (see tests/support).
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

namespace Quillet::TestNodes {

using RecordingDest = Testing::CapturingDest<FFData>;
using ManualSource = Testing::ManualSource<FFData>;
using Testing::Audio;
using Testing::Codec;
using Testing::MakePacket;
using Testing::SeekMarker;
using Testing::Video;

} // namespace Quillet::TestNodes

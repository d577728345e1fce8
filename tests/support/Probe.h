#pragma once
// The ffprobe tool as the independent oracle of what a file holds.
#include <ostream>
#include <string>
#include <vector>

#include "core/FFPacket.h"

namespace Quillet::Testing {

// One packet as ffprobe or a node reports it.
struct PacketFact {
    int stream = -1;
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    bool key = false;
    int size = -1; // a packet cut short keeps its times, not its size

    bool operator==(const PacketFact& o) const
    {
        return stream == o.stream && pts == o.pts && dts == o.dts && key == o.key && size == o.size;
    }
};
std::ostream& operator<<(std::ostream& os, const PacketFact& p);

PacketFact FactOf(const FFPacket& packet);

// Every packet of the file in demux order, all streams.
std::vector<PacketFact> ProbePackets(const std::string& path);
size_t ProbePacketCount(const std::string& path);
double ProbeDuration(const std::string& path);

} // namespace Quillet::Testing

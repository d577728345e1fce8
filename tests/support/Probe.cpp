#include "support/Probe.h"

#include <sstream>

#include "support/TestMedia.h"

namespace Quillet::Testing {

std::ostream& operator<<(std::ostream& os, const PacketFact& p)
{
    return os << "{stream " << p.stream << " pts " << p.pts << " dts " << p.dts << (p.key ? " key" : "") << " size " << p.size << "}";
}

PacketFact FactOf(const FFPacket& packet)
{
    const AVPacket* p = packet.Get();
    PacketFact fact;
    fact.stream = p->stream_index;
    fact.pts = p->pts;
    fact.dts = p->dts;
    fact.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
    fact.size = p->size;
    return fact;
}

std::vector<PacketFact> ProbePackets(const std::string& path)
{
    std::istringstream lines(
        Capture("ffprobe -v error -show_entries packet=stream_index,pts,dts,size,flags -of csv=p=0 '" + path + "'"));
    const auto number = [](const std::string& s) { return s == "N/A" ? AV_NOPTS_VALUE : std::stoll(s); };
    std::vector<PacketFact> out;
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');)
            f.push_back(field);
        if (f.size() >= 5)
            out.push_back({std::stoi(f[0]), number(f[1]), number(f[2]), f[4].find('K') != std::string::npos,
                           std::stoi(f[3])});
    }
    return out;
}

size_t ProbePacketCount(const std::string& path)
{
    return ProbePackets(path).size();
}

double ProbeDuration(const std::string& path)
{
    return std::stod(Capture("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'"));
}

} // namespace Quillet::Testing

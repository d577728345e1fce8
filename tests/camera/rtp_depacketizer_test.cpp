// The camera client's access-unit assembly from RTP packets, for what the
// test camera cannot be made to do on cue: lose a given packet, swap
// packets on the way, leave out the marker, send a key picture without its
// parameter sets, aggregate and fragment in every way the RTP payload
// formats allow. Each row feeds packets through the reception (which puts
// swapped packets back in order) into the unpacking, as the reader does,
// and checks the access units handed on: their bytes, their timestamps, the
// packet after which each came out, and the corrupt flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/RtpDepacketizer.h"
#include "camera/RtpReception.h"
#include "camera/RtspProtocol.h"

using namespace Quillet;

namespace {

using Bytes = std::vector<uint8_t>;

// NAL units of both codecs: H.264 headers are one byte, H.265 two.
const Bytes kSps264{0x67, 0x42, 0xC0, 0x1E}, kPps264{0x68, 0xCE, 0x3C};
const Bytes kIdr264a{0x65, 0x88, 0x01, 0x02}, kIdr264b{0x65, 0x88, 0x03, 0x04};
const Bytes kP264a{0x41, 0x9A, 0x01}, kP264b{0x41, 0x9A, 0x02};
const Bytes kVps265{0x40, 0x01, 0x0C}, kSps265{0x42, 0x01, 0x01}, kPps265{0x44, 0x01, 0xC1};
const Bytes kIdr265a{0x26, 0x01, 0xAF, 0x01}, kIdr265b{0x26, 0x01, 0xAF, 0x02};
const Bytes kP265{0x02, 0x01, 0xD0, 0x01};

Bytes AnnexB(std::initializer_list<Bytes> units)
{
    Bytes out;
    for (const Bytes& nal : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// An aggregation packet: H.264 STAP-A or H.265 AP.
Bytes Aggregate(bool hevc, std::initializer_list<Bytes> units)
{
    Bytes out = hevc ? Bytes{48 << 1, 1} : Bytes{24};
    for (const Bytes& nal : units) {
        out.push_back(uint8_t(nal.size() >> 8)), out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// The fragments of one NAL unit: H.264 FU-A or H.265 FU, `pieces` of them.
std::vector<Bytes> Fragments(bool hevc, const Bytes& nal, int pieces)
{
    const size_t header = hevc ? 2 : 1;
    const size_t body = nal.size() - header;
    std::vector<Bytes> out;
    for (int i = 0; i < pieces; ++i) {
        const size_t from = header + body * i / pieces, to = header + body * (i + 1) / pieces;
        const uint8_t type = hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
        const uint8_t fu = uint8_t((i == 0 ? 0x80 : 0) | (i == pieces - 1 ? 0x40 : 0) | type);
        Bytes p = hevc ? Bytes{uint8_t((nal[0] & 0x81) | (49 << 1)), nal[1], fu} : Bytes{uint8_t((nal[0] & 0xE0) | 28), fu};
        p.insert(p.end(), nal.begin() + long(from), nal.begin() + long(to));
        out.push_back(p);
    }
    return out;
}

struct Sent {
    Bytes payload;
    uint32_t timestamp;
    bool marker;
    bool lost = false; // never arrives: the next packet shows the gap
};

// A unit's `after` when the hold for a swap ran out, with no further packet.
constexpr size_t kAtHoldDeadline = 99;

struct Unit {
    Bytes data;
    uint32_t timestamp;
    bool corrupt;
    size_t after; // index of the packet whose arrival handed it on, or kAtHoldDeadline
    bool key;
};

struct AssemblyRow {
    const char* name;
    bool hevc;
    Bytes sdpSets; // the session description's parameter sets, Annex B
    std::vector<Sent> packets; // in sequence number order
    std::vector<Unit> expected;
    std::vector<size_t> arrival = {}; // the order the packets arrive in (empty: as sent)
};

std::vector<Sent> Join(std::initializer_list<std::vector<Sent>> parts)
{
    std::vector<Sent> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Sent> AsPackets(const std::vector<Bytes>& payloads, uint32_t timestamp, bool markLast, int lose = -1)
{
    std::vector<Sent> out;
    for (size_t i = 0; i < payloads.size(); ++i)
        out.push_back({payloads[i], timestamp, markLast && i + 1 == payloads.size(), int(i) == lose});
    return out;
}

const AssemblyRow kRows[] = {
    {"SlicesOfAPictureLeaveTogetherAtTheMarker", false, {},
     Join({AsPackets({Aggregate(false, {kSps264, kPps264}), kIdr264a, kIdr264b}, 0, true),
           AsPackets({kP264a, kP264b}, 3600, true)}),
     {{AnnexB({kSps264, kPps264, kIdr264a, kIdr264b}), 0, false, 2, true},
      {AnnexB({kP264a, kP264b}), 3600, false, 4, false}}},
    {"FragmentsAreJoined", false, {},
     Join({AsPackets({Aggregate(false, {kSps264, kPps264})}, 0, false), AsPackets(Fragments(false, kIdr264a, 3), 0, false),
           AsPackets(Fragments(false, kIdr264b, 2), 0, true)}),
     {{AnnexB({kSps264, kPps264, kIdr264a, kIdr264b}), 0, false, 5, true}}},
    {"WithoutMarkerAPictureEndsAtTheNextTimestamp", false, {},
     Join({AsPackets({kIdr264a, kIdr264b}, 0, false), AsPackets({kP264a}, 3600, false), AsPackets({kP264b}, 7200, false)}),
     {{AnnexB({kIdr264a, kIdr264b}), 0, false, 2, true}, {AnnexB({kP264a}), 3600, false, 3, false}}},
    {"LostFragmentDropsItsSliceAndFlagsThePicture", false, {},
     Join({AsPackets({kIdr264a}, 0, false), AsPackets(Fragments(false, kIdr264b, 3), 0, true, 1),
           AsPackets({kP264a}, 3600, true)}),
     {{AnnexB({kIdr264a}), 0, true, 4, true}, {AnnexB({kP264a}), 3600, false, 4, false}}},
    {"LostMarkedPacketIsNotWaitedForBeyondTheNextPicture", false, {},
     Join({AsPackets({kP264a, kP264b}, 0, true, 1), AsPackets({kP264a}, 3600, true)}),
     {{AnnexB({kP264a}), 0, true, kAtHoldDeadline, false}, {AnnexB({kP264a}), 3600, true, kAtHoldDeadline, false}}},
    // Swapped packets: back in order, nothing lost, each picture out when its
    // last packet is in.
    {"SwappedSlicesArePutBackInOrder", false, {},
     Join({AsPackets({Aggregate(false, {kSps264, kPps264}), kIdr264a, kIdr264b}, 0, true),
           AsPackets({kP264a, kP264b}, 3600, true)}),
     {{AnnexB({kSps264, kPps264, kIdr264a, kIdr264b}), 0, false, 1, true},
      {AnnexB({kP264a, kP264b}), 3600, false, 3, false}},
     {0, 2, 1, 4, 3}},
    {"PictureSwappedWithTheNextOneWaitsForItsLastPacket", false, {},
     Join({AsPackets({kP264a, kP264b}, 0, true), AsPackets({kP264a, kP264b}, 3600, true)}),
     {{AnnexB({kP264a, kP264b}), 0, false, 1, false}, {AnnexB({kP264a, kP264b}), 3600, false, 1, false}},
     {0, 2, 3, 1}},
    // The hold ends once a picture follows a held marked packet; the packet
    // that comes after that is left out.
    {"HoldEndsWhenAPictureFollowsAHeldMarkedPacket", false, {},
     Join({AsPackets({kP264a, kP264b}, 0, true), AsPackets({kP264a}, 3600, true), AsPackets({kP264b}, 7200, true)}),
     {{AnnexB({kP264a}), 0, true, 3, false}, {AnnexB({kP264a}), 3600, true, 3, false},
      {AnnexB({kP264b}), 7200, false, 3, false}},
     {0, 2, 3, 1}},
    {"SetsRepeatedBetweenSlicesAreLeftOut", false, {},
     AsPackets({Aggregate(false, {kSps264, kPps264}), kIdr264a, Aggregate(false, {kSps264, kPps264}), kIdr264b}, 0, true),
     {{AnnexB({kSps264, kPps264, kIdr264a, kIdr264b}), 0, false, 3, true}}},
    {"KeyPictureWithoutSetsGetsTheDescribedOnes", false, AnnexB({kSps264, kPps264}),
     AsPackets({kIdr264a}, 0, true),
     {{AnnexB({kSps264, kPps264, kIdr264a}), 0, false, 0, true}}},
    {"HevcAggregatesAndFragments", true, {},
     Join({AsPackets({Aggregate(true, {kVps265, kSps265, kPps265})}, 0, false),
           AsPackets(Fragments(true, kIdr265a, 2), 0, false), AsPackets({kIdr265b}, 0, true),
           AsPackets(Fragments(true, kP265, 2), 3600, true)}),
     {{AnnexB({kVps265, kSps265, kPps265, kIdr265a, kIdr265b}), 0, false, 3, true},
      {AnnexB({kP265}), 3600, false, 5, false}}},
    {"HevcKeyPictureGetsTheSetsSeenInBand", true, {},
     Join({AsPackets({Aggregate(true, {kVps265, kSps265, kPps265}), kIdr265a}, 0, true),
           AsPackets({kIdr265b}, 3600, true)}),
     {{AnnexB({kVps265, kSps265, kPps265, kIdr265a}), 0, false, 1, true},
      {AnnexB({kVps265, kSps265, kPps265, kIdr265b}), 3600, false, 2, true}}},
};

class AccessUnitAssembly : public ::testing::TestWithParam<AssemblyRow> {};

TEST_P(AccessUnitAssembly, EachPictureIsHandedOnWholeAndAtOnce)
{
    const AssemblyRow& row = GetParam();
    SdpMedia media;
    media.kind = "video";
    media.encoding = row.hevc ? "H265" : "H264";
    media.clockRate = 90000;
    MediaFacts facts;
    facts.codec = row.hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    facts.extradata = row.sdpSets;
    auto depacketizer = MakeDepacketizer(media, facts);
    RtpReception reception(90000);
    std::vector<Unit> got;
    auto unpack = [&](const std::vector<RtpReception::Ordered>& ready, size_t after) {
        std::vector<AccessUnit> units;
        for (const RtpReception::Ordered& ordered : ready)
            depacketizer->Push(ordered.packet, ordered.lossBefore, units);
        for (AccessUnit& unit : units)
            got.push_back({unit.data, unit.timestamp, unit.corrupt, after, unit.key});
    };
    std::vector<size_t> arrival = row.arrival;
    for (size_t i = 0; row.arrival.empty() && i < row.packets.size(); ++i)
        arrival.push_back(i);
    int64_t nowUs = 1'000'000;
    for (const size_t i : arrival) {
        const Sent& sent = row.packets[i];
        if (sent.lost)
            continue;
        RtpPacketView packet;
        packet.sequence = uint16_t(65530 + i); // wrapping on the way
        packet.ssrc = 0x51;
        packet.timestamp = sent.timestamp, packet.marker = sent.marker;
        packet.payload = sent.payload.data(), packet.size = sent.payload.size();
        std::vector<RtpReception::Ordered> ready;
        reception.Arrive(packet, nowUs += 100, ready); // well within the hold
        unpack(ready, i);
    }
    std::vector<RtpReception::Ordered> ready;
    reception.Expire(reception.HoldDeadlineUs(), ready);
    unpack(ready, kAtHoldDeadline);
    ASSERT_EQ(got.size(), row.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("unit " + std::to_string(i));
        EXPECT_EQ(got[i].data, row.expected[i].data);
        EXPECT_EQ(got[i].timestamp, row.expected[i].timestamp);
        EXPECT_EQ(got[i].corrupt, row.expected[i].corrupt);
        EXPECT_EQ(got[i].after, row.expected[i].after) << "handed on after the wrong packet";
        EXPECT_EQ(got[i].key, row.expected[i].key);
    }
}

INSTANTIATE_TEST_SUITE_P(Rtp, AccessUnitAssembly, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The session description as cameras write it: what each stream is, where
// its SETUP goes, and the answers to a Digest challenge (RFC 2617's example).
TEST(SessionDescription, StreamsControlsAndLoginAnswersAreRead)
{
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\na=control:*\r\n"
                            "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                            "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0LAHg==,aM48gA==\r\n"
                            "a=control:stream=0\r\na=framerate:25\r\n"
                            "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/48000/2\r\n"
                            "a=fmtp:97 streamtype=5;mode=AAC-hbr;config=1190;sizelength=13;indexlength=3\r\n"
                            "a=control:rtsp://10.0.0.1/cam/audio\r\n"
                            "m=audio 0 RTP/AVP 0\r\na=control:trackID=3\r\n";
    const SessionDescription description = ParseSdp(sdp);
    ASSERT_EQ(description.media.size(), 3u);
    const auto video = DescribeMedia(description.media[0]);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video->extradata, AnnexB({{0x67, 0x42, 0xC0, 0x1E}, {0x68, 0xCE, 0x3C, 0x80}}));
    EXPECT_EQ(video->frameRate, 25.0);
    const auto aac = DescribeMedia(description.media[1]);
    ASSERT_TRUE(aac);
    EXPECT_EQ(std::make_tuple(aac->codec, aac->sampleRate, aac->channels, aac->extradata),
              std::make_tuple(AV_CODEC_ID_AAC, 48000, 2, Bytes{0x11, 0x90}));
    const auto mulaw = DescribeMedia(description.media[2]); // a static payload type needs no rtpmap
    ASSERT_TRUE(mulaw);
    EXPECT_EQ(std::make_tuple(mulaw->codec, mulaw->sampleRate, mulaw->channels),
              std::make_tuple(AV_CODEC_ID_PCM_MULAW, 8000, 1));
    const std::string base = "rtsp://10.0.0.1/cam/";
    EXPECT_EQ(ControlUrl(base, description.media[0].control), "rtsp://10.0.0.1/cam/stream=0");
    EXPECT_EQ(ControlUrl("rtsp://10.0.0.1/cam", description.media[2].control), "rtsp://10.0.0.1/cam/trackID=3");
    EXPECT_EQ(ControlUrl(base, description.media[1].control), "rtsp://10.0.0.1/cam/audio");

    const std::string challenge = "Digest realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"";
    const std::string answer = AuthorizationHeader(challenge, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", 1);
    EXPECT_NE(answer.find("response=\"670fd8c2df070c60b045671b8b24ff02\""), std::string::npos) << answer;
    EXPECT_EQ(AuthorizationHeader("Basic realm=\"cam\"", "Aladdin", "open sesame", "DESCRIBE", "rtsp://x/", 1),
              "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

} // namespace

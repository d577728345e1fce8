#pragma once
// Packet-exact recording checks: a clip demuxed into the records a source
// pushes, and ffprobe's view of a written file (times, key flags, MD5 of each
// packet's bytes) to compare them with. Test thread only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/md5.h>
}

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"
#include "support/TestMedia.h"

namespace Quillet::Testing {

inline std::string Md5(const uint8_t* data, int size)
{
    uint8_t digest[16];
    av_md5_sum(digest, data, size);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string("MD5:") + hex;
}

inline bool IsVideo(const std::shared_ptr<FFPacket>& p)
{
    return p->GetStreamType() == FFStreamType::Video;
}

// A clip's first video and audio streams as the records a source pushes.
struct Demuxed {
    std::shared_ptr<FFAVCodec> codec;
    std::vector<std::shared_ptr<FFPacket>> packets; // demux order
    // The same as a source pushes them: the description, the packets, the end marker.
    std::vector<std::shared_ptr<FFData>> records;
    AVRational videoTimeBase{0, 1};

    std::vector<std::shared_ptr<FFPacket>> Video() const
    {
        std::vector<std::shared_ptr<FFPacket>> v;
        for (const auto& p : packets)
            if (IsVideo(p))
                v.push_back(p);
        return v;
    }
    // Position in `packets` of the n-th video packet (the end past the last).
    size_t VideoPosition(int n) const
    {
        for (size_t i = 0; i < packets.size(); ++i)
            if (IsVideo(packets[i]) && n-- == 0)
                return i;
        return packets.size();
    }
};

inline Demuxed Demux(const std::string& path, bool wantVideo = true, bool wantAudio = true)
{
    Demuxed d;
    AVInputContextPtr input = OpenInput(path);
    const int vi = wantVideo ? av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    const int ai = wantAudio ? av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    if (vi >= 0)
        d.videoTimeBase = input->streams[vi]->time_base;
    d.codec = std::make_shared<FFAVCodec>(vi < 0 ? nullptr : FFCodecInfo::FromStream(input->streams[vi]),
                                          ai < 0 ? nullptr : FFCodecInfo::FromStream(input->streams[ai]));
    AVPacketPtr pkt = MakePacket();
    while (av_read_frame(input.get(), pkt.get()) >= 0) {
        const int index = pkt->stream_index; // the record takes the packet over
        if (index == vi || index == ai) {
            auto record = std::make_shared<FFPacket>(pkt.get());
            record->SetStreamType(index == vi ? FFStreamType::Video : FFStreamType::Audio);
            d.packets.push_back(record);
        }
        av_packet_unref(pkt.get());
    }
    d.records.push_back(d.codec);
    d.records.insert(d.records.end(), d.packets.begin(), d.packets.end());
    d.records.push_back(std::make_shared<FFEOSInfo>());
    return d;
}

// One packet of a written file; times in seconds, NAN where not kept.
struct WrittenPacket {
    double pts = NAN, dts = NAN;
    bool key = false;
    int size = 0;
    std::string hash;
};

struct WrittenFile {
    std::string errors; // whatever ffprobe complained about
    std::vector<WrittenPacket> video, audio;
};

inline WrittenFile ReadWritten(const std::string& path)
{
    WrittenFile r;
    std::istringstream out(Capture("ffprobe -v error -show_entries packet=codec_type,pts_time,dts_time,flags,size,"
                                   "data_hash -show_data_hash MD5 -of default=nw=1 '" + path + "' 2>&1"));
    std::vector<WrittenPacket>* list = nullptr; // of the packet being read
    auto seconds = [](const std::string& s) { return s.empty() || s == "N/A" ? NAN : std::stod(s); };
    for (std::string line; std::getline(out, line);) {
        const size_t eq = line.find('=');
        if (eq == line.npos) {
            r.errors += line.empty() ? "" : line + "\n";
            continue;
        }
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_type" && (list = value == "video" ? &r.video : value == "audio" ? &r.audio : nullptr))
            list->emplace_back();
        else if (list && key == "pts_time")
            list->back().pts = seconds(value);
        else if (list && key == "dts_time")
            list->back().dts = seconds(value);
        else if (list && key == "size")
            list->back().size = std::stoi(value);
        else if (list && key == "flags")
            list->back().key = value.find('K') != value.npos;
        else if (list && key == "data_hash")
            list->back().hash = value;
    }
    return r;
}

// Hashes of the packets with content (containers may add empty fillers).
inline std::vector<std::string> Hashes(const std::vector<WrittenPacket>& packets)
{
    std::vector<std::string> h;
    for (const auto& p : packets)
        if (p.size > 0)
            h.push_back(p.hash);
    return h;
}

inline std::vector<std::string> Hashes(const std::vector<std::shared_ptr<FFPacket>>& packets)
{
    std::vector<std::string> h;
    for (const auto& p : packets)
        h.push_back(Md5(p->Get()->data, p->Get()->size));
    return h;
}

// Each stream's packet contents in one form whatever bitstream form a
// container keeps them in, as the ffmpeg tool reads them: H.264 as a byte
// stream without the parameter sets and delimiters that byte-stream
// containers repeat in band, AAC without ADTS headers, anything else as it
// is. One MD5 per packet, in demux order.
struct PayloadHashes {
    std::vector<std::string> video, audio;
};

inline PayloadHashes ReadPayloads(const std::string& path)
{
    auto codecOf = [&](const char* stream) {
        std::string name = Capture("ffprobe -v error -select_streams " + std::string(stream) +
                                   " -show_entries stream=codec_name -of csv=p=0 '" + path + "'");
        return name.substr(0, name.find_first_of("\n,"));
    };
    const std::string audio = codecOf("a:0");
    std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -map 0:v:0 -map 0:a:0? -c copy";
    if (codecOf("v:0") == "h264")
        command += " -bsf:v 'h264_mp4toannexb,filter_units=remove_types=7|8|9'";
    if (audio == "aac")
        command += " -bsf:a aac_adtstoasc";
    std::istringstream lines(Capture(command + " -f framemd5 - 2>/dev/null"));
    PayloadHashes h;
    // stream, dts, pts, duration, size, hash of the data[, side data]
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 6 && std::getline(fields, field, ','); ++i) {
        }
        (line[0] == '0' ? h.video : h.audio).push_back(field.substr(field.find_first_not_of(' ')));
    }
    return h;
}

// What every recorded file must satisfy whatever the container: readable
// without complaint, starting with a key packet at decode time 0 (where
// kept: Matroska keeps presentation times only), decode
// times (where kept) strictly increasing, no picture shown before it is
// decoded, sound in order and not before the start.
inline void ExpectWellFormed(const WrittenFile& r, const std::string& name)
{
    EXPECT_TRUE(r.errors.empty()) << name << ": " << r.errors;
    ASSERT_FALSE(r.video.empty()) << name;
    EXPECT_TRUE(r.video.front().key) << name;
    if (!std::isnan(r.video.front().dts)) {
        EXPECT_NEAR(r.video.front().dts, 0.0, 1e-9) << name;
    }
    double last = -INFINITY;
    for (size_t i = 0; i < r.video.size(); ++i) {
        const WrittenPacket& p = r.video[i];
        if (p.size == 0 || std::isnan(p.dts))
            continue;
        EXPECT_GT(p.dts, last) << name << " video dts at " << i;
        last = p.dts;
        EXPECT_TRUE(std::isnan(p.pts) || p.pts >= p.dts - 1e-9) << name << " video pts before dts at " << i;
    }
    last = -INFINITY;
    for (size_t i = 0; i < r.audio.size(); ++i) {
        EXPECT_GE(r.audio[i].dts, 0.0) << name << " audio before the file's start at " << i;
        EXPECT_GT(r.audio[i].dts, last) << name << " audio dts at " << i;
        last = r.audio[i].dts;
    }
}

} // namespace Quillet::Testing

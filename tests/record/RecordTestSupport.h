#pragma once
// Shared helpers for the recording tests: clips made by the ffmpeg CLI,
// demuxed into the records a source would push, and ffprobe as the oracle
// for what ended up in the files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/md5.h>
}

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"
#include "events/FFMessenger.h"
#include "record/FFFile.h"
#include "record/FFFileSink.h"
#include "record/SyncingFileSink.h"

namespace RecordTest {

using namespace Quillet;

inline std::string Shell(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    pclose(pipe);
    return out;
}

// H.264 without B-frames (as cameras send) plus AAC, video time base 1/25.
inline std::string Clip(const std::string& name, int seconds, int gop)
{
    if (!std::filesystem::exists(name)) {
        // Tests run as parallel processes: build under a private name, then
        // move it into place in one step.
        const std::string temp = "tmp" + std::to_string(getpid()) + "_" + name;
        const std::string cmd =
            "ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
            "sine=frequency=440:sample_rate=48000 -t " +
            std::to_string(seconds) + " -c:v libx264 -bf 0 -g " + std::to_string(gop) +
            " -sc_threshold 0 -video_track_timescale 25 -c:a aac " + temp + " 2>&1";
        const std::string err = Shell(cmd);
        std::error_code ec;
        std::filesystem::rename(temp, name, ec);
        EXPECT_TRUE(std::filesystem::exists(name)) << err;
    }
    return name;
}

inline std::string Md5(const uint8_t* data, int size)
{
    uint8_t digest[16];
    av_md5_sum(digest, data, size);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string("MD5:") + hex;
}

struct Demuxed {
    std::shared_ptr<FFAVCodec> codec;
    // In demux order, as a source would push them.
    std::vector<std::shared_ptr<FFPacket>> packets;
};

inline Demuxed Demux(const std::string& path)
{
    Demuxed d;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return d;
    }
    AVInputContextPtr input(raw);
    avformat_find_stream_info(raw, nullptr);
    std::shared_ptr<FFCodecInfo> video, audio;
    int vi = -1, ai = -1;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream* s = raw->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && vi < 0) {
            vi = static_cast<int>(i);
            video = FFCodecInfo::FromStream(s);
        } else if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && ai < 0) {
            ai = static_cast<int>(i);
            audio = FFCodecInfo::FromStream(s);
        }
    }
    d.codec = std::make_shared<FFAVCodec>(video, audio);
    AVPacketPtr pkt = MakePacket();
    while (av_read_frame(raw, pkt.get()) >= 0) {
        const int index = pkt->stream_index;
        if (index != vi && index != ai) {
            av_packet_unref(pkt.get());
            continue;
        }
        auto record = std::make_shared<FFPacket>(pkt.get());
        record->SetStreamType(index == vi ? FFStreamType::Video : FFStreamType::Audio);
        d.packets.push_back(record);
    }
    return d;
}

inline bool IsVideo(const std::shared_ptr<FFPacket>& p)
{
    return p->GetStreamType() == FFStreamType::Video;
}

struct Probed {
    double pts = 0; // seconds; NAN when the container has none
    double dts = 0;
    bool key = false;
    int size = 0;
    std::string hash;
};

struct ProbeResult {
    std::string errors; // whatever ffprobe complained about
    std::vector<Probed> video;
    std::vector<Probed> audio;
};

inline double ToSeconds(const std::string& s)
{
    return s.empty() || s == "N/A" ? NAN : std::stod(s);
}

// Reads every packet of `path` back with ffprobe, and anything it reports
// at error level.
inline ProbeResult Probe(const std::string& path)
{
    ProbeResult r;
    const std::string out =
        Shell("ffprobe -v error -show_entries packet=codec_type,pts_time,dts_time,flags,size,data_hash "
            "-show_data_hash MD5 -of default=nw=1 '" + path + "' 2>&1");
    std::vector<Probed>* list = nullptr;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            if (!line.empty())
                r.errors += line + "\n";
            continue;
        }
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_type") {
            list = value == "video" ? &r.video : value == "audio" ? &r.audio : nullptr;
            if (list)
                list->emplace_back();
        } else if (list && key == "pts_time") {
            list->back().pts = ToSeconds(value);
        } else if (list && key == "dts_time") {
            list->back().dts = ToSeconds(value);
        } else if (list && key == "size") {
            list->back().size = std::stoi(value);
        } else if (list && key == "flags") {
            list->back().key = value.find('K') != std::string::npos;
        } else if (list && key == "data_hash") {
            list->back().hash = value;
        }
    }
    return r;
}

inline std::vector<std::string> Hashes(const std::vector<Probed>& packets, bool skipEmpty = true)
{
    std::vector<std::string> h;
    for (const auto& p : packets)
        if (!skipEmpty || p.size > 0)
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

// A messenger that keeps what the nodes raise.
class RecordingMessenger : public FFMessenger {
public:
    RecordingMessenger() : FFMessenger("record-test")
    {
        RegisterFFEventCallback([this](FFEventArgs* args) {
            std::lock_guard<std::mutex> guard(lock);
            if (args->type == SyncPointEvent)
                syncPoints.push_back(*static_cast<FFSyncPointArgs*>(args));
            else if (args->type == MessageEvent)
                messages.push_back(static_cast<FFMessageArgs*>(args)->message);
        });
    }
    std::vector<FFSyncPointArgs> SyncPoints()
    {
        std::lock_guard<std::mutex> guard(lock);
        return syncPoints;
    }
    std::vector<int> Messages()
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages;
    }

private:
    std::mutex lock;
    std::vector<FFSyncPointArgs> syncPoints;
    std::vector<int> messages;
};

// The sinks driven without their write thread: the test drains the queue on
// its own thread, so every split lands exactly where the test puts it.
template <typename Sink>
class Driven : public Sink {
public:
    using Sink::Sink;
    void Drain() { this->_WriteQueueToFile(); }
    void Push(const std::shared_ptr<FFData>& record) { this->FFProcess(record); }
};

// Each test gets an empty folder of its own for the files it writes.
class RecordFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        av_log_set_level(AV_LOG_ERROR);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // No "." anywhere in the path: follow-on names mark the first one.
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        folder = std::filesystem::current_path() / "record_out" / name;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    std::string In(const std::string& name) const { return (folder / name).string(); }
    std::vector<std::string> FilesInFolder() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path folder;
};

} // namespace RecordTest

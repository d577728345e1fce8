#pragma once
// Shared helpers for the decoder tests: clips made with the ffmpeg tool,
// records built from a clip demuxed here, and a messenger that remembers
// what the decoder logged and raised.
#include <gtest/gtest.h>

#include "support/TestMedia.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include "core/FFAVCodec.h"
#include "core/FFCodecInfo.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"
#include "decode/FFDecode.h"
#include "events/FFMessenger.h"

namespace DecodeTest {

using namespace Quillet;

// Runs the ffmpeg tool once per output file; later tests reuse the file.
// Test processes run in parallel, so the file appears under its name only
// once it is complete.
inline bool MakeMedia(const std::string& file, const std::string& args)
{
    std::ifstream existing(file, std::ios::binary);
    if (existing.good() && existing.peek() != std::ifstream::traits_type::eof())
        return true;
    const std::string tmp = "tmp" + std::to_string(getpid()) + "_" + file;
    const std::string cmd = "ffmpeg -v error -y " + args + " " + tmp + " </dev/null && mv -f " + tmp + " " + file;
    return std::system(cmd.c_str()) == 0;
}

// Standard output of a command.
inline std::string RunCommand(const std::string& cmd)
{
    return Quillet::Testing::Capture(cmd);
}

inline std::vector<uint8_t> ReadFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The records a source would push for `file`: one FFAVCodec, the packets of
// the first video and audio stream in file order, then the end marker.
struct Demuxed {
    std::shared_ptr<FFAVCodec> codec;
    std::vector<std::shared_ptr<FFData>> records;
    AVRational videoTimeBase{0, 1};
};

inline Demuxed Demux(const std::string& file, bool wantVideo = true, bool wantAudio = true)
{
    Demuxed d;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot open " + file);
    AVInputContextPtr fmt(raw);
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
        throw std::runtime_error("no stream info in " + file);
    const int v = wantVideo ? av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    const int a = wantAudio ? av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    std::shared_ptr<FFCodecInfo> vi = v >= 0 ? FFCodecInfo::FromStream(fmt->streams[v]) : nullptr;
    std::shared_ptr<FFCodecInfo> ai = a >= 0 ? FFCodecInfo::FromStream(fmt->streams[a]) : nullptr;
    if (v >= 0)
        d.videoTimeBase = fmt->streams[v]->time_base;
    d.codec = std::make_shared<FFAVCodec>(vi, ai);
    d.records.push_back(d.codec);
    AVPacketPtr pkt = MakePacket();
    while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
        if (pkt->stream_index != v && pkt->stream_index != a) {
            av_packet_unref(pkt.get());
            continue;
        }
        const bool video = pkt->stream_index == v;
        auto record = std::make_shared<FFPacket>(pkt.get());
        record->SetStreamType(video ? FFStreamType::Video : FFStreamType::Audio);
        d.records.push_back(record);
    }
    d.records.push_back(std::make_shared<FFEOSInfo>());
    return d;
}

// ffprobe's best-effort timestamps of the first video stream, in seconds
// (NaN where it has none).
inline std::vector<double> ProbeFrameTimes(const std::string& file, AVRational tb)
{
    const std::string out = RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp "
                                       "-of csv=p=0 " + file);
    std::vector<double> times;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(pos, end - pos);
        // A picture without any usable timestamp is reported as N/A.
        if (line == "N/A")
            times.push_back(std::numeric_limits<double>::quiet_NaN());
        else if (!line.empty())
            times.push_back(std::stod(line) * tb.num / tb.den);
        pos = end + 1;
    }
    return times;
}

// A messenger that keeps every log line of its category and counts events.
class RecordingMessenger : public FFMessenger {
public:
    explicit RecordingMessenger(const std::string& name) : FFMessenger(name)
    {
        auto& cat = Category();
        cat.setPriority(log4cpp::Priority::DEBUG);
        _appender = new log4cpp::StringQueueAppender(name + "-queue");
        auto* layout = new log4cpp::PatternLayout();
        layout->setConversionPattern("%p %m");
        _appender->setLayout(layout);
        cat.addAppender(_appender);
    }
    ~RecordingMessenger() override { Category().removeAppender(_appender); }

    void SendMessageEvent(int message) override
    {
        messages.push_back(message);
        FFMessenger::SendMessageEvent(message);
    }
    void SendFFEvent(FFEventArgs* args) override
    {
        if (args->type == ConnectionStatusEvent) {
            auto* c = static_cast<FFSourceConnectionStatusArgs*>(args);
            connections.emplace_back(c->status, c->message);
        }
        FFMessenger::SendFFEvent(args);
    }

    // Log lines (priority name, a space, the message) logged so far.
    std::vector<std::string> Lines()
    {
        auto& q = _appender->getQueue();
        while (!q.empty()) {
            lines.push_back(q.front());
            q.pop();
        }
        return lines;
    }
    int CountLinesStartingWith(const std::string& prefix)
    {
        int n = 0;
        for (const auto& l : Lines())
            if (l.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    std::vector<int> messages;
    std::vector<std::pair<ConnectionStatus, std::string>> connections;

private:
    log4cpp::StringQueueAppender* _appender;
    std::vector<std::string> lines;
};

// One picture as the application would see it.
struct Picture {
    double time;
    bool first;
    int width;
    int height;
    std::vector<uint8_t> pixels;
};

// Feeds the records as a source would (waiting while the decoder says Full)
// and reads pictures until the end of the stream is reported.
struct VideoRun {
    std::vector<Picture> pictures;
    std::vector<int> sizes; // every non-zero ReadVideo answer
    int zeroReads = 0;
};

inline VideoRun FeedAndRead(FFDecode& decode, const std::vector<std::shared_ptr<FFData>>& records,
                            int extraReads = 3)
{
    VideoRun run;
    size_t next = 0;
    int idle = 0;
    bool ended = false;
    while (!ended && idle < 100000) {
        while (next < records.size() && decode.GetStatus() == FFStatus::Ready)
            decode.FFProcess(records[next++]);
        const FFCLIFrame f = decode.ReadVideo();
        if (f.size == 0) {
            ++run.zeroReads;
            ++idle;
            continue;
        }
        idle = 0;
        run.sizes.push_back(f.size);
        if (f.size < 0) {
            ended = true;
            break;
        }
        Picture p{f.frame->GetFrameTime(), f.frame->GetFirstFrame(), f.frame->CFrame()->width,
                  f.frame->CFrame()->height, std::vector<uint8_t>(static_cast<size_t>(f.size))};
        f.frame->CopyFrame(p.pixels.data());
        run.pictures.push_back(std::move(p));
    }
    for (int i = 0; i < extraReads; ++i) {
        const FFCLIFrame f = decode.ReadVideo();
        if (f.size != 0)
            run.sizes.push_back(f.size);
    }
    return run;
}

} // namespace DecodeTest

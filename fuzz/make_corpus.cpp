// Writes the seed corpus: records of a real clip (its stream descriptions and
// first packets), the small control records and one client batch.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"

using namespace Quillet;

namespace {

void Write(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Bytes(const FFData& record)
{
    auto s = record.Serialize();
    return std::vector<uint8_t>(s->data.get(), s->data.get() + s->size);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: fuzz_make_corpus <clip> <corpus dir>\n";
        return 2;
    }
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, argv[1], nullptr, nullptr) < 0) {
        std::cerr << "cannot open " << argv[1] << '\n';
        return 1;
    }
    AVInputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return 1;
    const std::string dir = argv[2];

    std::shared_ptr<FFCodecInfo> video, audio;
    std::vector<FFStreamType> kinds(input->nb_streams, FFStreamType::None);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        auto info = FFCodecInfo::FromStream(input->streams[i]);
        kinds[i] = info->GetStreamType();
        if (kinds[i] == FFStreamType::Video && !video)
            video = info;
        else if (kinds[i] == FFStreamType::Audio && !audio)
            audio = info;
    }
    if (!video)
        return 1;
    Write(dir, "codec-video", Bytes(*video));
    if (audio)
        Write(dir, "codec-audio", Bytes(*audio));
    const FFAVCodec both(video, audio);
    Write(dir, "avcodec", Bytes(both));
    Write(dir, "avcodec-video-only", Bytes(FFAVCodec(video, nullptr)));

    std::vector<uint8_t> batch = Bytes(both);
    AVPacketPtr pkt = MakePacket();
    int videoPackets = 0, audioPackets = 0;
    while ((videoPackets < 3 || audioPackets < 2) && av_read_frame(input.get(), pkt.get()) >= 0) {
        FFPacket record(pkt.get());
        record.SetStreamType(kinds[static_cast<size_t>(record.Get()->stream_index)]);
        const auto bytes = Bytes(record);
        if (record.GetStreamType() == FFStreamType::Video && videoPackets < 3)
            Write(dir, "packet-video-" + std::to_string(videoPackets++), bytes);
        else if (record.GetStreamType() == FFStreamType::Audio && audioPackets < 2)
            Write(dir, "packet-audio-" + std::to_string(audioPackets++), bytes);
        else
            continue;
        batch.insert(batch.end(), bytes.begin(), bytes.end());
    }

    Write(dir, "seek", Bytes(FFSeekInfo(1.25)));
    Write(dir, "eos", Bytes(FFEOSInfo()));
    Write(dir, "connection-lost", Bytes(FFConnectionInfo(ConnectionStatus::ConnectionLost, "camera gone")));
    Write(dir, "connection-empty", Bytes(FFConnectionInfo(ConnectionStatus::Connected, "")));
    for (const auto& control : {Bytes(FFSeekInfo(0.5)), Bytes(FFEOSInfo()),
                                Bytes(FFConnectionInfo(ConnectionStatus::Disconnected, "bye"))})
        batch.insert(batch.end(), control.begin(), control.end());
    Write(dir, "batch", batch);
    std::cout << "corpus written to " << dir << '\n';
    return 0;
}

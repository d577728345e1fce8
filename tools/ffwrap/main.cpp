// ffwrap: the library's command-line tool. Without arguments it writes the
// built-in demo clip and works on it; with a file or URL it works on that.
#include <cstdio>
#include <iostream>
#include <string>

#include "DemoClip.h"
#include "core/FFAVCodec.h"
#include "core/FFAVPtr.h"
#include "core/FFCodecLock.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

using namespace Quillet;

namespace {

void Describe(const char* title, const FFCodecInfo& info)
{
    const AVCodecContext* c = info.Context();
    std::cout << "  " << title << ": " << avcodec_get_name(c->codec_id) << ", time base " << info.timeBaseNum << "/"
              << info.timeBaseDen;
    if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
        const char* fmt = av_get_pix_fmt_name(c->pix_fmt);
        std::cout << ", " << c->width << "x" << c->height << ", " << (fmt ? fmt : "?");
    } else if (c->codec_type == AVMEDIA_TYPE_AUDIO) {
        std::cout << ", " << c->sample_rate << " Hz, " << c->ch_layout.nb_channels << " channels";
    }
    std::cout << ", extra data " << c->extradata_size << " bytes, " << info.GetSerializedSize()
              << " bytes serialized\n";
}

void Describe(const char* title, const FFAVCodec& codec)
{
    std::cout << title << " (" << codec.GetSerializedSize() << " bytes):\n";
    Describe("video", *codec.video);
    if (codec.audio)
        Describe("audio", *codec.audio);
}

int DescribeSource(const std::string& url)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) {
        std::cerr << "Cannot open " << url << "\n";
        return 1;
    }
    AVInputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        std::cerr << "Cannot read stream info of " << url << "\n";
        return 1;
    }
    std::shared_ptr<FFCodecInfo> video, audio;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* s = input->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !video)
            video = FFCodecInfo::FromStream(s);
        else if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !audio)
            audio = FFCodecInfo::FromStream(s);
    }
    FFAVCodec original(video, audio);
    Describe("Stream description", original);

    auto serialized = original.Serialize();
    auto rebuilt = CreateFromSerialized(*serialized);
    Describe("Rebuilt from its serialized form", static_cast<const FFAVCodec&>(*rebuilt));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        avformat_network_init();
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        std::string url;
        if (argc > 1) {
            url = argv[1];
        } else {
            url = "ffwrap-demo.mp4";
            Tools::WriteDemoClip(url);
            std::cout << "Wrote the built-in demo clip to " << url << "\n";
        }
        return DescribeSource(url);
    } catch (const std::exception& e) {
        std::cerr << "ffwrap: " << e.what() << "\n";
        return 1;
    }
}

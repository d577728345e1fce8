// ffwrap: the library's command-line tool.
//
//   ffwrap [play] [source] [--snapshot out.png] [--seek S] [--pause-at S] [--wav out.wav]
//                          [--seconds S] [--timeout S] [--tcp] [--user U] [--password P] [--threads N]
//                          [--live-reading newest|every]
//   ffwrap describe [source]
//   ffwrap relay [source] [--threads N]
//   ffwrap record <source> <file> [--segment S] [--name-pattern P] ... (see Usage)
//   ffwrap publish <source> <url> [<url>...] [--seconds S]
//   ffwrap thumbnails FILE N OUT_PREFIX [--size WxH] [--exact]
//   --verbose (with any command) also prints the library's log on stderr.
//
// Without a source it first writes the built-in demo clip and works on that.
// A live camera (rtsp://...) plays until --seconds have passed; --tcp,
// --user and --password are its connection settings. --timeout is the longest a
// network open or read may block (default 10 s). --threads N decodes on N
// threads (0: automatic, the default for files; a camera keeps one so that
// no picture is held back). --live-reading says how a camera is read when the
// tool falls behind: the newest picture (the default, missed ones counted) or
// every picture in order up to the library's bound. Bad option values exit 2.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CameraPlayer.h"
#include "DemoClip.h"
#include "EventText.h"
#include "ThumbnailsCommand.h"
#include "PngWriter.h"
#include "PublishCommand.h"
#include "RelayCommand.h"
#include "RecordCommand.h"
#include "WavWriter.h"
#include "core/UrlForLog.h"
#include "core/FFAVCodec.h"
#include "core/FFCodecLock.h"
#include "events/FFLogger.h"
#include "facade/FFWrapper.h"

#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>

extern "C" {
#include <libavutil/pixdesc.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;

namespace {

struct Options {
    std::string command = "play";
    std::string source;
    std::string snapshot = "ffwrap-snapshot.png";
    std::string wav;
    std::optional<double> seek;
    std::optional<double> pauseAt;
    std::optional<double> seconds;
    std::optional<double> timeout;
    std::optional<int> threads;
    std::optional<LiveReading> liveReading;
    Tools::CameraOptions camera;
};

void Usage()
{
    std::cerr << "usage: ffwrap [play] [source] [--snapshot out.png] [--seek S] [--pause-at S] [--wav out.wav]\n"
                 "                            [--seconds S] [--timeout S] [--tcp] [--user U] [--password P] [--threads N]\n"
                 "                            [--live-reading newest|every]\n"
                 "       ffwrap describe [source]\n"
                 "       ffwrap relay [source] [--threads N]\n"
                 "       ffwrap record <source> <file> [--segment S] [--name-pattern P] [--keep-bytes N] [--keep-hours H]\n"
                 "                     [--min-free N] [--sync-every S] [--classic-mp4] [--sync-points out.csv] [--retry]\n"
                 "                     [--threads N]\n"
                 "       --threads N: decoding threads, 0 automatic (the default for files; cameras use 1)\n"
                 "       ffwrap publish <source> <url> [<url>...] [--seconds S]\n"
                 "       ffwrap thumbnails FILE N OUT_PREFIX [--size WxH] [--exact]\n"
                 "       --verbose with any command prints the library's log too\n";
}

std::optional<Options> Parse(int argc, char** argv)
{
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    if (i < args.size() && (args[i] == "play" || args[i] == "describe"))
        o.command = args[i++];
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == "--tcp") {
            o.camera.tcp = true;
        } else if (a == "--live-reading") {
            auto v = value();
            if (!v || (*v != "newest" && *v != "every"))
                return std::nullopt;
            o.liveReading = *v == "every" ? LiveReading::Every : LiveReading::Newest;
        } else if (a == "--threads") {
            auto v = value();
            if (!v || !(o.threads = Tools::ParseThreads(*v)))
                return std::nullopt;
        } else if (a == "--user" || a == "--password" || a == "--snapshot" || a == "--wav") {
            auto v = value();
            if (!v || v->empty())
                return std::nullopt;
            (a == "--user" ? o.camera.user : a == "--password" ? o.camera.password : a == "--snapshot" ? o.snapshot : o.wav) = *v;
        } else if (a == "--seconds" || a == "--timeout" || a == "--seek" || a == "--pause-at") {
            auto v = value();
            const std::optional<double> seconds = v ? Tools::ParseSeconds(*v) : std::nullopt;
            // Playing for no time at all is no request either.
            if (!seconds || (a == "--seconds" && *seconds <= 0.0))
                return std::nullopt;
            (a == "--seconds" ? o.seconds : a == "--timeout" ? o.timeout : a == "--seek" ? o.seek : o.pauseAt) = seconds;
        } else if (a.rfind("--", 0) == 0 || !o.source.empty()) {
            return std::nullopt;
        } else {
            o.source = a;
        }
    }
    return o;
}

void DescribeStream(const char* title, const FFCodecInfo& info)
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

void DescribeSource(const char* title, const FFAVCodec& codec)
{
    std::cout << title << " (" << codec.GetSerializedSize() << " bytes):\n";
    DescribeStream("video", *codec.video);
    if (codec.audio)
        DescribeStream("audio", *codec.audio);
}

// Opens the source with libavformat, builds its description, turns it into
// its wire form and back, and prints both.
int Describe(const std::string& url)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) {
        std::cerr << "Cannot open " << UrlForLog(url) << "\n";
        return 1;
    }
    AVInputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        std::cerr << "Cannot read stream info of " << UrlForLog(url) << "\n";
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
    DescribeSource("Stream description", original);
    auto rebuilt = CreateFromSerialized(*original.Serialize());
    DescribeSource("Rebuilt from its wire form", static_cast<const FFAVCodec&>(*rebuilt));
    return 0;
}

// --verbose: each second's line also says when the camera captured the picture
// and how long ago that was.
bool verbose = false;

std::string CaptureText(const FrameData& frame)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(frame.captureTime.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    const double latencyMs = duration_cast<microseconds>(system_clock::now() - frame.captureTime).count() / 1000.0;
    char out[96];
    std::snprintf(out, sizeof(out), "captured %s.%03lld UTC (%s), %.1f ms ago", text, static_cast<long long>(ms % 1000),
                  frame.captureTimeTrusted ? "camera clock" : "arrival, no sender report yet", latencyMs);
    return out;
}

// Plays the source through the player facade, as an application would.
int Play(const Options& o)
{
    auto playerHolder = Tools::MakePlayer("ffwrap", o.camera);
    FFWrapper& player = *playerHolder;
    std::atomic<bool> ended{false};
    player.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        std::cout << "event: " << Tools::EventText(e) << "\n";
        if (auto* m = dynamic_cast<const FFMessageEventArgs*>(&e))
            if (m->message == FFMessageType::EndOfStream || m->message == FFMessageType::SourceError)
                ended = true;
    }));
    if (o.timeout)
        player.SetNetworkTimeout(*o.timeout);
    if (o.liveReading)
        player.SetLiveReading(*o.liveReading);
    Tools::UseDecodingThreads(player, o.source, o.threads);
    if (!player.OpenSource(o.source)) {
        std::cerr << "Cannot open " << UrlForLog(o.source) << ": " << player.GetOpenFailureReason() << "\n";
        return 1;
    }
    int rate = 0, bits = 0, channels = 0;
    const bool audio = player.GetAudioFormat(rate, bits, channels);
    std::cout << "Source: " << UrlForLog(o.source) << "\n  video " << player.Width() << "x" << player.Height() << " (shown as "
              << player.RenderWidth() << "x" << player.RenderHeight() << "), duration " << player.GetDuration()
              << " s\n";
    if (audio)
        std::cout << "  audio " << rate << " Hz, " << bits << " bits, " << channels << " channels\n";

    std::unique_ptr<Tools::WavWriter> wav;
    if (audio && !o.wav.empty()) {
        wav = std::make_unique<Tools::WavWriter>(o.wav, rate, channels);
        player.EnableAudio(true);
    } else {
        player.EnableAudio(false);
    }
    player.DecodeVideo(AV_PIX_FMT_RGB24);
    if (!player.StartEngine()) {
        std::cerr << "Cannot start playback\n";
        return 1;
    }
    player.SetAudioInterface(wav.get());
    if (o.seek) {
        std::cout << "Seeking to " << *o.seek << " s\n";
        for (int i = 0; i < 200 && player.GetSeekTime() < 0; ++i) {
            player.Seek(*o.seek);
            if (player.GetSeekTime() >= 0)
                break;
            std::this_thread::sleep_for(10ms);
        }
    }

    FrameData frame;
    int pictures = 0;
    bool snapshotWritten = false;
    bool paused = false;
    double nextReport = 0.0;
    auto idleSince = std::chrono::steady_clock::now();
    const auto playStart = idleSince;
    bool stoppedHere = false;
    for (;;) {
        if (o.seconds && std::chrono::steady_clock::now() - playStart > std::chrono::duration<double>(*o.seconds)) {
            stoppedHere = true;
            break;
        }
        if (wav)
            player.ReadAudioFromInterface();
        const int size = player.ReadFrameGetSize(&frame);
        if (size < 0)
            break;
        if (size == 0) {
            if (ended || std::chrono::steady_clock::now() - idleSince > 10s)
                break;
            std::this_thread::sleep_for(1ms);
            continue;
        }
        idleSince = std::chrono::steady_clock::now();
        ++pictures;
        if (!snapshotWritten && (!o.seek || frame.frameTime >= *o.seek - 0.001)) {
            Tools::WritePng(o.snapshot, frame.frame.data(), frame.width, frame.height);
            std::cout << "Snapshot of the picture at " << frame.frameTime << " s written to " << o.snapshot << "\n";
            snapshotWritten = true;
        }
        if (frame.frameTime >= nextReport) {
            std::cout << "  " << frame.frameTime << " s, " << pictures << " pictures";
            if (verbose && frame.captureTime.time_since_epoch().count() != 0)
                std::cout << ", " << CaptureText(frame);
            std::cout << "\n";
            nextReport = frame.frameTime + 1.0;
        }
        if (o.pauseAt && !paused && frame.frameTime >= *o.pauseAt) {
            std::cout << "Paused at " << frame.frameTime << " s for one second\n";
            player.Pause();
            std::this_thread::sleep_for(1s);
            player.Continue();
            paused = true;
        }
    }
    std::cout << (stoppedHere ? "Stopped" : "End of stream") << " after " << pictures << " pictures";
    if (const uint64_t missed = player.GetMissedPictures())
        std::cout << ", " << missed << " missed";
    if (wav)
        std::cout << ", " << wav->BytesWritten() << " bytes of audio written to " << o.wav;
    std::cout << "\n";
    player.StopEngine();
    player.CloseSource();
    return 0;
}

// --verbose: the library's log, INFO and above, on stderr besides wherever its
// configuration sends it. The configuration is applied first, so that no
// later load drops the console.
void ShowLibraryLog()
{
    ApplyLogConfiguration();
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%-5p %c: %m%n");
    auto* console = new log4cpp::OstreamAppender("ffwrap-verbose", &std::cerr);
    console->setLayout(layout);
    log4cpp::Category& root = RootLogger();
    root.addAppender(console); // the category owns it
    root.setPriority(LogLevel::Info);
}

// Removes --verbose wherever it stands; true when it was there.
bool TakeVerbose(int& argc, char** argv)
{
    char** end = std::remove_if(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--verbose"; });
    const bool found = end != argv + argc;
    argc = static_cast<int>(end - argv);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (TakeVerbose(argc, argv)) {
        verbose = true;
        ShowLibraryLog();
    }
    if (argc >= 2 && std::string(argv[1]) == "relay")
        return Tools::RelayCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "publish")
        return Tools::PublishCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "thumbnails")
        return Tools::ThumbnailsCommand(argc - 2, argv + 2);
    if (argc > 1 && std::string(argv[1]) == "record") {
        const auto record = Tools::ParseRecordOptions(std::vector<std::string>(argv + 2, argv + argc));
        if (!record) {
            Usage();
            return 2;
        }
        av_log_set_level(AV_LOG_ERROR);
        try {
            return Tools::Record(*record);
        } catch (const std::exception& e) {
            std::cerr << "ffwrap: " << e.what() << "\n";
            return 1;
        }
    }
    auto options = Parse(argc, argv);
    if (!options) {
        Usage();
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        if (options->source.empty()) {
            options->source = "ffwrap-demo.mp4";
            Tools::WriteDemoClip(options->source);
            std::cout << "Wrote the built-in demo clip to " << options->source << "\n";
        }
        if (options->command == "describe") {
            std::lock_guard<std::mutex> guard(CodecLock());
            avformat_network_init();
        }
        return options->command == "describe" ? Describe(options->source) : Play(*options);
    } catch (const std::exception& e) {
        std::cerr << "ffwrap: " << e.what() << "\n";
        return 1;
    }
}

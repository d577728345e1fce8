#include "source/file_source_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "support/TestMedia.h"

#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>

extern "C" {
#include <libavutil/log.h>
}

namespace Quillet::FileSourceTest {
namespace {

constexpr const char* kCategory = "file_source_test";

struct CapturedLine {
    int priority;
    std::string text;
};

// Keeps the message of every line written to the test category.
class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender() : log4cpp::AppenderSkeleton("file_source_capture") {}
    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }

    std::vector<CapturedLine> Lines() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _lines;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.clear();
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _lines.push_back({event.priority, event.message});
    }

private:
    mutable std::mutex _mutex;
    std::vector<CapturedLine> _lines;
};

CaptureAppender& Capture()
{
    static CaptureAppender* appender = [] {
        av_log_set_level(AV_LOG_ERROR);
        auto* a = new CaptureAppender();
        log4cpp::Category& category = log4cpp::Category::getInstance(kCategory);
        category.setAdditivity(false);
        category.setPriority(700);
        category.addAppender(a); // the category owns it from here on
        return a;
    }();
    return *appender;
}

std::string Run(const std::string& command)
{
    return Quillet::Testing::Capture(command);
}

// Makes `name` once; several test processes may race for it, so each writes
// its own temporary file and renames it into place.
std::string Made(const std::string& name, const std::function<void(const std::string&)>& make)
{
    std::filesystem::create_directories("media");
    const std::string path = "media/" + name;
    if (!std::filesystem::exists(path)) {
        const std::string ext = std::filesystem::path(name).extension().string();
        const std::string temp = "media/tmp" + std::to_string(::getpid()) + "_" + name + ext;
        make(temp);
        if (!std::filesystem::exists(temp))
            throw std::runtime_error("could not make test clip " + name);
        std::filesystem::rename(temp, path);
    }
    return path;
}

void Ffmpeg(const std::string& args, const std::string& out)
{
    const std::string command = "ffmpeg -nostdin -v error -y " + args + " '" + out + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed: " + command);
}

const std::string kAvInputs = "-f lavfi -i testsrc2=size=160x120:rate=25 "
                              "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 ";
const std::string kAvCodecs = "-c:v libx264 -preset ultrafast -bf 2 -g 25 -c:a aac ";

} // namespace

std::ostream& operator<<(std::ostream& os, const PacketFact& p)
{
    return os << "{stream " << p.stream << " pts " << p.pts << " dts " << p.dts << (p.key ? " key" : "") << "}";
}

// ---------------------------------------------------------------- RecordingDest

FFStatus RecordingDest::FFProcess(std::shared_ptr<FFData> record)
{
    std::lock_guard<std::mutex> guard(_mutex);
    if (record->GetType() == FFType::Packet) {
        const int limit = throwAfterPackets.load();
        if (limit >= 0 && _packets >= limit)
            throw std::runtime_error("destination refuses packet");
        ++_packets;
    }
    _records.push_back(std::move(record));
    _arrived.notify_all();
    return FFStatus::Ready;
}

std::vector<std::shared_ptr<FFData>> RecordingDest::Records() const
{
    std::lock_guard<std::mutex> guard(_mutex);
    return _records;
}

size_t RecordingDest::Count(FFType type) const
{
    std::lock_guard<std::mutex> guard(_mutex);
    size_t n = 0;
    for (const auto& r : _records)
        n += r->GetType() == type;
    return n;
}

bool RecordingDest::WaitFor(FFType type, size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(_mutex);
    return _arrived.wait_for(guard, limit, [&] {
        size_t n = 0;
        for (const auto& r : _records)
            n += r->GetType() == type;
        return n >= count;
    });
}

PacketFact FactOf(const FFPacket& packet)
{
    const AVPacket* p = packet.Get();
    PacketFact fact;
    fact.stream = p->stream_index;
    fact.pts = p->pts;
    fact.dts = p->dts;
    fact.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
    return fact;
}

std::vector<PacketFact> RecordingDest::PacketsAfter(FFType marker, size_t n) const
{
    std::vector<PacketFact> out;
    size_t seen = 0;
    for (const auto& r : Records()) {
        if (r->GetType() == marker)
            ++seen;
        else if (seen >= n && r->GetType() == FFType::Packet)
            out.push_back(FactOf(static_cast<const FFPacket&>(*r)));
    }
    return out;
}

std::vector<PacketFact> RecordingDest::PacketsBefore(FFType marker) const
{
    std::vector<PacketFact> out;
    for (const auto& r : Records()) {
        if (r->GetType() == marker)
            break;
        if (r->GetType() == FFType::Packet)
            out.push_back(FactOf(static_cast<const FFPacket&>(*r)));
    }
    return out;
}

// ---------------------------------------------------------------- TestMessenger

TestMessenger::TestMessenger() : FFMessenger(kCategory) { Capture().Clear(); }

TestMessenger::~TestMessenger() = default;

void TestMessenger::Error(const std::string& where, const std::exception& e, int message)
{
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _reports.push_back({where, e.what(), message});
    }
    FFMessenger::Error(where, e, message);
}

std::vector<TestMessenger::Report> TestMessenger::Reports() const
{
    std::lock_guard<std::mutex> guard(_mutex);
    return _reports;
}

size_t TestMessenger::CountLines(const std::string& text, int priority) const
{
    size_t n = 0;
    for (const auto& line : Capture().Lines())
        n += line.text == text && (priority < 0 || line.priority == priority);
    return n;
}

size_t TestMessenger::CountLinesStartingWith(const std::string& prefix) const
{
    size_t n = 0;
    for (const auto& line : Capture().Lines())
        n += line.text.rfind(prefix, 0) == 0;
    return n;
}

// ---------------------------------------------------------------- clips

std::string AvMp4()
{
    return Made("av.mp4", [](const std::string& out) { Ffmpeg(kAvInputs + kAvCodecs, out); });
}

std::string AvsMkv()
{
    return Made("avs.mkv", [](const std::string& out) {
        std::filesystem::create_directories("media");
        const std::string srt = out + ".srt";
        std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nfirst\n\n"
                              "2\n00:00:01,500 --> 00:00:02,000\nsecond\n\n";
        Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -i '" +
                   srt + "' -map 0 -map 1 -map 2 -t 3 " + kAvCodecs + "-c:s srt",
               out);
        std::filesystem::remove(srt);
    });
}

std::string WideSarMp4()
{
    return Made("widesar.mp4", [](const std::string& out) {
        Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 -vf setsar=2/1 -c:v libx264 -preset ultrafast", out);
    });
}

std::string TallSarMp4()
{
    return Made("tallsar.mp4", [](const std::string& out) {
        Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 -vf setsar=1/2 -c:v libx264 -preset ultrafast", out);
    });
}

std::string RawH264()
{
    return Made("raw.h264", [](const std::string& out) {
        Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 -c:v libx264 -preset ultrafast -f h264", out);
    });
}

std::string PlainTs()
{
    return Made("plain.ts", [](const std::string& out) { Ffmpeg(kAvInputs + kAvCodecs + "-f mpegts", out); });
}

std::string PaddedTs()
{
    return Made("padded.ts", [](const std::string& out) {
        // The demuxer estimates a duration from the last timestamps it finds
        // within the final 16 MB; null packets there carry none.
        std::filesystem::copy_file(PlainTs(), out, std::filesystem::copy_options::overwrite_existing);
        std::ofstream file(out, std::ios::binary | std::ios::app);
        std::string nullPacket(188, '\xff');
        nullPacket[0] = 0x47;
        nullPacket[1] = 0x1f;
        nullPacket[2] = '\xff';
        nullPacket[3] = 0x10;
        std::string block;
        for (int i = 0; i < 1024; ++i)
            block += nullPacket;
        for (int i = 0; i < 90; ++i) // about 17 MB
            file.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
}

std::string TruncatedMp4()
{
    return Made("truncated.mp4", [](const std::string& out) {
        // The index of an mp4 written by ffmpeg sits at the end: cut it off.
        const auto size = std::filesystem::file_size(AvMp4());
        std::filesystem::copy_file(AvMp4(), out, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(out, size / 2);
    });
}

std::string NotMedia()
{
    return Made("notmedia.dat", [](const std::string& out) {
        std::ofstream file(out);
        for (int i = 0; i < 200; ++i)
            file << "This is not a media file.\n";
    });
}

std::vector<PacketFact> ProbePackets(const std::string& path)
{
    const std::string text =
        Run("ffprobe -v error -show_entries packet=stream_index,pts,pts_time,dts,flags -of csv=p=0 '" + path + "'");
    std::vector<PacketFact> out;
    std::istringstream lines(text);
    std::string line;
    const auto number = [](const std::string& s) { return s == "N/A" ? AV_NOPTS_VALUE : std::stoll(s); };
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ','))
            f.push_back(field);
        if (f.size() < 5)
            continue;
        PacketFact p;
        p.stream = std::stoi(f[0]);
        p.pts = number(f[1]);
        p.ptsTime = f[2] == "N/A" ? 0.0 : std::stod(f[2]);
        p.dts = number(f[3]);
        p.key = f[4].find('K') != std::string::npos;
        out.push_back(p);
    }
    return out;
}

double ProbeDuration(const std::string& path)
{
    return std::stod(Run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'"));
}

std::vector<PacketFact> OnlyStream(const std::vector<PacketFact>& packets, int stream)
{
    std::vector<PacketFact> out;
    for (const auto& p : packets)
        if (p.stream == stream)
            out.push_back(p);
    return out;
}

bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([done, work = std::move(work)] {
        work();
        done->set_value();
    }).detach();
    if (future.wait_for(limit) == std::future_status::ready)
        return true;
    // A deadlock: nothing sensible can follow in this process.
    std::fprintf(stderr, "deadlock: work did not finish within %lld ms\n", static_cast<long long>(limit.count()));
    std::_Exit(3);
}

} // namespace Quillet::FileSourceTest

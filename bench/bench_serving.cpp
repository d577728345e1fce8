// Records and megabytes per second through the serving path (file source ->
// serializer -> client queue -> GetNextPacket batch -> remote player's
// WritePacket, which rebuilds every record), side by side with the ffmpeg
// tool carrying the same packets from the same file into an MPEG-TS stream
// by stream copy, the usual way to put a file's packets on a network.
// Then the cost of GetNextPacket's copy per megabyte, next to a plain
// memcpy of the same batches.
//
//   bench_serving [clip]     (default: a 1080p H.264 clip generated on the spot)
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "facade/FFServingWrappers.h"
#include "serialize/FFPlayOutgoing.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kMB = 1024.0 * 1024.0;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string EnsureClip(int argc, char** argv)
{
    if (argc > 1)
        return argv[1];
    const std::string clip = "bench_serving_1080p.mp4";
    if (!std::filesystem::exists(clip)) {
        const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 "
                                "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 12 -c:v libx264 -preset veryfast "
                                "-bf 2 -g 50 -pix_fmt yuv420p -c:a aac " + clip;
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("cannot generate " + clip);
    }
    return clip;
}

int32_t ReadI32(const uint8_t* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

struct Throughput {
    uint64_t records = 0;
    uint64_t bytes = 0;
    double seconds = 0.0;
    double RecordsPerSecond() const { return records / seconds; }
    double MBPerSecond() const { return bytes / kMB / seconds; }
};

// Serves the clip to one client and writes every batch into a remote player.
// The remote player is not decoding: what is measured is the wire path, not
// the video decoder. Also keeps every record for the copy measurement.
Throughput ServeToRemote(const std::string& clip, std::vector<std::shared_ptr<FFSerializedData>>& records)
{
    FFPlayServerWrapper server("BenchServe");
    FFRemoteWrapper remote("BenchRemote");
    server.SetSource(clip);
    FFOutgoingHandle client = server.AddClient();
    if (!client)
        throw std::runtime_error("cannot serve " + clip);
    Throughput t;
    bool ended = false;
    const auto start = Clock::now();
    server.StartEngine();
    while (!ended) {
        std::vector<uint8_t> batch = client->GetNextPacket();
        if (batch.empty()) {
            std::this_thread::yield();
            continue;
        }
        if (!remote.WritePacket(batch))
            throw std::runtime_error("the remote player refused a batch");
        t.bytes += batch.size();
        for (size_t at = 0; at + 12 <= batch.size();) {
            const int32_t size = ReadI32(batch.data() + at + 4);
            auto record = std::make_shared<FFSerializedData>();
            record->size = size;
            record->attribute = static_cast<FFAttribute>(ReadI32(batch.data() + at + 8));
            record->data = std::make_unique<uint8_t[]>(static_cast<size_t>(size));
            std::memcpy(record->data.get(), batch.data() + at, static_cast<size_t>(size));
            records.push_back(record);
            ++t.records;
            ended = ReadI32(batch.data() + at) == 4;
            at += static_cast<size_t>(size);
        }
    }
    t.seconds = Seconds(Clock::now() - start);
    return t;
}

// The ffmpeg tool carrying the same packets into MPEG-TS by stream copy. Its
// time includes starting the process, as the serving time includes opening
// the source and its engines.
Throughput ToolRemux(const std::string& clip, uint64_t records, uint64_t bytes)
{
    const std::string cmd = "ffmpeg -nostdin -v error -i " + clip + " -map 0 -c copy -f mpegts -y /dev/null";
    Throughput t{records, bytes, 0.0};
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ffmpeg failed");
    t.seconds = Seconds(Clock::now() - start);
    return t;
}

struct CopyCost {
    double getNextPacketNsPerMB = 0.0;
    double facadeNsPerMB = 0.0;
    double memcpyNsPerMB = 0.0;
};

// Queues every record, then drains the queue in batches of 30, natively and
// through the client handle (which copies once more into the application's
// array); the peer copies the same batches with memcpy into fresh buffers.
// Each is run `rounds` times and the fastest round counts, so page faults
// of first use and other processes weigh on none of them.
CopyCost MeasureCopy(const std::vector<std::shared_ptr<FFSerializedData>>& records, int rounds)
{
    uint64_t total = 0;
    for (const auto& r : records)
        total += static_cast<uint64_t>(r->size);
    const double mb = total / kMB;
    Clock::duration native = Clock::duration::max(), facade = native, plain = native;
    for (int round = 0; round < rounds; ++round) {
        FFPlayOutgoing queue;
        queue.SetNumberOutgoingPackets(30);
        for (const auto& r : records)
            queue.FFProcess(r);
        auto start = Clock::now();
        while (auto batch = queue.GetNextPacket())
            if (batch->size == 0)
                break;
        native = std::min(native, Clock::now() - start);

        for (const auto& r : records)
            queue.FFProcess(r);
        FFOutgoingWrapper handle(&queue);
        start = Clock::now();
        while (!handle.GetNextPacket().empty()) {
        }
        facade = std::min(facade, Clock::now() - start);

        start = Clock::now();
        for (size_t i = 0; i < records.size(); i += 30) {
            size_t bytes = 0;
            for (size_t j = i; j < records.size() && j < i + 30; ++j)
                bytes += static_cast<size_t>(records[j]->size);
            auto batch = std::make_unique_for_overwrite<uint8_t[]>(bytes);
            size_t at = 0;
            for (size_t j = i; j < records.size() && j < i + 30; ++j) {
                std::memcpy(batch.get() + at, records[j]->data.get(), static_cast<size_t>(records[j]->size));
                at += static_cast<size_t>(records[j]->size);
            }
            asm volatile("" : : "r"(batch.get()) : "memory"); // keep the copy
        }
        plain = std::min(plain, Clock::now() - start);
    }
    CopyCost cost;
    cost.getNextPacketNsPerMB = Seconds(native) * 1e9 / mb;
    cost.facadeNsPerMB = Seconds(facade) * 1e9 / mb;
    cost.memcpyNsPerMB = Seconds(plain) * 1e9 / mb;
    return cost;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        av_log_set_level(AV_LOG_ERROR);
        const std::string clip = EnsureClip(argc, argv);
        ToolRemux(clip, 0, 0); // warm the file cache
        std::vector<std::shared_ptr<FFSerializedData>> records;
        const Throughput served = ServeToRemote(clip, records);
        const Throughput tool = ToolRemux(clip, served.records, served.bytes);
        const CopyCost copy = MeasureCopy(records, 20);

        std::cout << std::fixed << std::setprecision(1);
        std::cout << "clip: " << clip << ", " << served.records << " records, " << served.bytes / kMB << " MB on the wire\n"
                  << "serve -> batch -> remote WritePacket:   " << served.RecordsPerSecond() << " records/s, "
                  << served.MBPerSecond() << " MB/s\n"
                  << "ffmpeg -c copy -f mpegts (same file):   " << tool.RecordsPerSecond() << " records/s, "
                  << tool.MBPerSecond() << " MB/s\n"
                  << std::setprecision(2)
                  << "ratio serving / ffmpeg (records/s):     " << tool.seconds / served.seconds << "\n"
                  << std::setprecision(0)
                  << "GetNextPacket copy (queue -> batch):    " << copy.getNextPacketNsPerMB << " ns/MB\n"
                  << "client handle GetNextPacket (2 copies): " << copy.facadeNsPerMB << " ns/MB\n"
                  << "memcpy of the same batches:             " << copy.memcpyNsPerMB << " ns/MB\n"
                  << std::setprecision(2)
                  << "ratio GetNextPacket / memcpy:           " << copy.getNextPacketNsPerMB / copy.memcpyNsPerMB << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_serving: " << e.what() << "\n";
        return 1;
    }
}

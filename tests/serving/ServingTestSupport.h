#pragma once
// Helpers for the serving and remote tests: clips, walking client batches
// record by record, and reading pictures from a facade with their hashes.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "facade/FFWrapper.h"
#include "support/EnginePlayback.h"
#include "support/Probe.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Quillet::Testing {

// 2 s, video key frames every 10 pictures (0.4 s), audio beside it.
inline std::string ServingClip()
{
    return MakeClip("serving_h264.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -bf 2 -g 10 "
                                        "-pix_fmt yuv420p -c:a aac");
}

// 12 s, for the slow-client tests: more records than a playback queue may hold.
inline std::string LongServingClip()
{
    return MakeClip("serving_long_h264.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i "
                                             "sine=frequency=440:sample_rate=8000 -t 12 -c:v libx264 -bf 2 -g 10 "
                                             "-pix_fmt yuv420p -c:a aac -b:a 16k");
}

// Little-endian, read independently of the library's own reader.
inline int32_t WireI32(const uint8_t* p)
{
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// One record of a client batch, with its own bytes.
struct WireRecord {
    int32_t type;
    int32_t attribute;
    std::vector<uint8_t> bytes;
};

// Splits a batch into its records; fails the test on a batch that does not add up.
inline std::vector<WireRecord> SplitBatch(const std::vector<uint8_t>& batch)
{
    std::vector<WireRecord> records;
    size_t at = 0;
    while (at < batch.size()) {
        if (batch.size() - at < 12) {
            ADD_FAILURE() << "stray bytes at the end of a batch";
            break;
        }
        const int32_t size = WireI32(batch.data() + at + 4);
        if (size < 12 || static_cast<size_t>(size) > batch.size() - at) {
            ADD_FAILURE() << "record size " << size << " does not fit the batch";
            break;
        }
        records.push_back({WireI32(batch.data() + at), WireI32(batch.data() + at + 8),
                           std::vector<uint8_t>(batch.data() + at, batch.data() + at + size)});
        at += static_cast<size_t>(size);
    }
    return records;
}

struct PictureHash {
    double time;
    uint64_t hash;
    bool operator==(const PictureHash& o) const { return hash == o.hash && std::abs(time - o.time) < 1e-6; }
};

inline std::ostream& operator<<(std::ostream& os, const PictureHash& p)
{
    return os << "{" << p.time << ", " << std::hex << p.hash << std::dec << "}";
}

// Takes every picture that is ready now; true once end of stream was seen.
inline bool TakeReadyPictures(FFWrapperCLI::FFWrapper& player, std::vector<PictureHash>& out)
{
    FFWrapperCLI::FrameData data;
    for (;;) {
        const int size = player.ReadFrameGetSize(&data);
        if (size < 0)
            return true;
        if (size == 0)
            return false;
        out.push_back({data.frameTime, Fnv1a(data.frame)});
    }
}

// Plays a file directly, the reference for what a remote player must show.
inline std::vector<PictureHash> PlayDirectly(const std::string& clip)
{
    FFWrapperCLI::FFWrapper player("ServingDirect");
    EXPECT_TRUE(player.OpenSource(clip));
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    EXPECT_TRUE(player.StartEngine());
    std::vector<PictureHash> pictures;
    EXPECT_TRUE(WaitFor([&] { return TakeReadyPictures(player, pictures); }, std::chrono::seconds(60)));
    return pictures;
}

// Offers a block until the remote player has taken all of it, reading the
// pictures that make room meanwhile. False when it never went through.
inline bool FeedBlock(FFWrapperCLI::FFRemoteWrapper& remote, const std::vector<uint8_t>& block,
                      std::vector<PictureHash>& pictures)
{
    return WaitFor([&] {
        if (remote.WritePacket(block))
            return true;
        TakeReadyPictures(remote, pictures);
        return false;
    });
}

} // namespace Quillet::Testing

// Feeds untrusted blocks to a remote player the way an application carries
// them from the network: the input is a series of blocks, each preceded by a
// 16-bit little-endian length, written in turn with WritePacket into a player
// that decodes video; between blocks a picture is asked for, so rebuilt
// stream descriptions really reach the decoder. The whole input also goes to
// the record reader once. Every block is copied into an allocation of exactly
// its size, so the sanitizer catches any read outside it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "core/FFData.h"
#include "facade/FFServingWrappers.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;
using namespace Quillet::FFWrapperCLI;

namespace {

constexpr const char* kCategory = "FuzzRemote";
// Enough to walk a stream forward; past this an input only repeats itself.
constexpr int kMaxBlocks = 64;

FFRemoteWrapper& Player()
{
    static FFRemoteWrapper* player = [] {
        auto* p = new FFRemoteWrapper(kCategory);
        // Refusals are the expected answer to garbage; keep the console for findings.
        log4cpp::Category::getInstance(kCategory).setPriority(log4cpp::Priority::FATAL);
        av_log_set_level(AV_LOG_QUIET);
        p->EnableAudio(false);
        p->DecodeVideo(AV_PIX_FMT_BGR24);
        return p;
    }();
    return *player;
}

void ReadRecordAlone(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> exact(data, data + size);
    try {
        auto record = CreateFromSerialized(exact.data(), exact.size());
        (void)record->Serialize();
    } catch (const std::exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FFRemoteWrapper& player = Player();
    ReadRecordAlone(data, size);

    // Each input starts from a fresh stream: no description yet, no half block.
    player.Flush();
    player.WaitForSeek();

    FrameData picture;
    size_t at = 0;
    for (int blocks = 0; blocks < kMaxBlocks && size - at >= 2; ++blocks) {
        const size_t declared = static_cast<size_t>(data[at]) | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        const size_t length = std::min(declared, size - at);
        std::vector<uint8_t> block(data + at, data + at + length);
        at += length;
        if (!player.WritePacket(block))
            player.WaitForSeek(); // busy or refused: the next block starts afresh
        player.ReadFrameGetSize(&picture);
    }
    return 0;
}

// Blocks from the network are untrusted: a malformed block is refused with
// an error line, nothing outside it is read (each block sits in an
// allocation of exactly its size, so AddressSanitizer sees any stray read),
// and the player goes on with the next good block as if nothing happened.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"
#include "support/CapturingAppender.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;

namespace {

void PutI32(std::vector<uint8_t>& bytes, size_t at, int32_t value)
{
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

struct Corruption {
    const char* name;
    std::function<std::vector<uint8_t>(const std::vector<WireRecord>&)> make;
};

} // namespace

TEST(RemoteUntrusted, MalformedBlocksAreRefusedAndTheNextGoodBlockPlays)
{
    const std::string clip = ServingClip();
    const std::vector<PictureHash> direct = PlayDirectly(clip);
    const std::vector<WireRecord> records = ServeAllRecords(clip);
    ASSERT_GT(records.size(), 40u);
    size_t video = 1;
    while (records[video].type != 1 || records[video].attribute != 1)
        ++video;

    const std::vector<Corruption> corruptions = {
        {"type 0", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 0, 0); return b; }},
        {"type 7", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 0, 7); return b; }},
        {"size beyond the block", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 4, static_cast<int32_t>(b.size() + 1)); return b; }},
        {"huge size", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 4, 0x7fffffff); return b; }},
        {"negative size", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 4, -12); return b; }},
        {"size below a header", [](const auto& r) { auto b = r[1].bytes; PutI32(b, 4, 8); return b; }},
        {"truncated record", [](const auto& r) { auto b = r[1].bytes; b.resize(b.size() / 2); return b; }},
        {"header only", [](const auto& r) { auto b = r[1].bytes; b.resize(11); return b; }},
        {"packet data larger than its record", [video](const auto& r) { auto b = r[video].bytes; PutI32(b, 40, static_cast<int32_t>(b.size())); return b; }},
        {"negative packet data size", [video](const auto& r) { auto b = r[video].bytes; PutI32(b, 40, -1); return b; }},
        {"good record then stray bytes", [](const auto& r) { auto b = r[1].bytes; b.insert(b.end(), {1, 2, 3, 4, 5}); return b; }},
        {"description with huge extra data", [](const auto& r) { auto b = r[0].bytes; PutI32(b, 12 + 20 + 104, 0x10000000); return b; }},
        {"description cut inside its video part", [](const auto& r) { auto b = r[0].bytes; b.resize(600); PutI32(b, 4, 600); return b; }},
        {"description whose video part claims the whole", [](const auto& r) { auto b = r[0].bytes; PutI32(b, 16, static_cast<int32_t>(b.size())); return b; }},
    };

    FFRemoteWrapper remote("RemoteUntrusted");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    ScopedCapture log(log4cpp::Category::getInstance("RemoteUntrusted"));

    std::vector<PictureHash> pictures;
    ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, 0, 20), pictures));
    for (const Corruption& c : corruptions) {
        const std::vector<uint8_t> bad = c.make(records);
        const size_t errorsBefore = log->Count("Error in: FFRemoteEngine::PushPacketToRemoteSource");
        EXPECT_FALSE(remote.WritePacket(bad)) << c.name;
        EXPECT_EQ(log->Count("Error in: FFRemoteEngine::PushPacketToRemoteSource"), errorsBefore + 1) << c.name;
    }
    EXPECT_FALSE(remote.WritePacket(std::vector<uint8_t>{}));
    EXPECT_FALSE(remote.WritePacket(nullptr, 10));

    for (size_t at = 20; at < records.size(); at += 30)
        ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, at, at + 30), pictures));
    ASSERT_TRUE(DrainRemote(remote, pictures));
    EXPECT_EQ(pictures, direct);
}

TEST(RemoteUntrusted, GarbageBeforeTheFirstDescriptionIsRefusedToo)
{
    const std::vector<WireRecord> records = ServeAllRecords(ServingClip());
    FFRemoteWrapper remote("RemoteGarbage");
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    std::vector<uint8_t> noise(4096);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 131 + 7);
    EXPECT_FALSE(remote.WritePacket(noise));
    std::vector<PictureHash> pictures;
    ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, 0, 30), pictures));
    ASSERT_TRUE(WaitFor([&] {
        TakeReadyPictures(remote, pictures);
        return !pictures.empty();
    }));
}

// Blocks from the network are untrusted: through the remote player a
// malformed block is refused, and the player goes on with the next good block
// as if nothing happened, showing exactly what direct playback shows. (Every
// kind of malformed block is tabled at the remote source in
// tests/core/wire_malformed_test.cpp.)
#include <gtest/gtest.h>

#include "facade/FFServingWrappers.h"
#include "serving/ServingTestSupport.h"

using namespace Quillet::FFWrapperCLI;
using namespace Quillet::Testing;

namespace {

std::vector<uint8_t> WithI32(std::vector<uint8_t> bytes, size_t at, int32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
    return bytes;
}

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
    const auto& description = records[0].bytes;
    const auto& packet = records[video].bytes;

    std::vector<uint8_t> noise(4096);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 131 + 7);
    std::vector<uint8_t> stray = packet;
    stray.insert(stray.end(), {1, 2, 3, 4, 5});
    const std::vector<std::vector<uint8_t>> corruptions = {
        WithI32(packet, 0, 7),
        WithI32(packet, 4, 0x7fffffff),
        std::vector<uint8_t>(packet.begin(), packet.begin() + static_cast<long>(packet.size() / 2)),
        WithI32(packet, 40, static_cast<int32_t>(packet.size())),
        WithI32(description, 12 + 20 + 104, 0x10000000),
        stray,
        {},
    };

    FFRemoteWrapper remote("RemoteUntrusted");
    remote.EnableAudio(false);
    remote.DecodeVideo(AV_PIX_FMT_BGR24);
    EXPECT_FALSE(remote.WritePacket(noise)); // before the first description too
    std::vector<PictureHash> pictures;
    ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, 0, 20), pictures));
    for (size_t i = 0; i < corruptions.size(); ++i)
        EXPECT_FALSE(remote.WritePacket(corruptions[i])) << "corruption " << i;
    EXPECT_FALSE(remote.WritePacket(nullptr, 10));

    for (size_t at = 20; at < records.size(); at += 30)
        ASSERT_TRUE(FeedBlock(remote, JoinRecords(records, at, at + 30), pictures));
    ASSERT_TRUE(DrainRemote(remote, pictures));
    EXPECT_EQ(pictures, direct);
}

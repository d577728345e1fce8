// Blocks handed to the remote source come from a network. A malformed block
// must be refused with a clear error, without reading outside it and without
// pushing any of it, and the next good block must work as if nothing happened.
// Meant to run under AddressSanitizer: every block lives in a buffer of exactly
// its own size.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <random>

#include "core/CodecContextImage.h"
#include "core/WireBytes.h"
#include "source/FFRemoteSource.h"
#include "traffic_test_nodes.h"

using namespace Quillet;
using namespace Quillet::TestNodes;

namespace {

std::vector<uint8_t> Serialized(const FFData& r)
{
    auto s = r.Serialize();
    return std::vector<uint8_t>(s->data.get(), s->data.get() + s->size);
}

void Append(std::vector<uint8_t>& block, const std::vector<uint8_t>& more)
{
    block.insert(block.end(), more.begin(), more.end());
}

void PutI32(std::vector<uint8_t>& block, size_t at, int32_t v)
{
    WireWriter(block.data(), block.size()).PutI32(at, v);
}

class RemoteSourceMalformed : public ::testing::Test {
protected:
    void SetUp() override
    {
        source.ConnectNode(&dest);
        packet = Serialized(*Video(0, true, 100));
        Append(good, packet);
        Append(good, Serialized(*Audio(0, 32)));
        Append(good, Serialized(*SeekMarker(1.0)));
        Append(good, Serialized(FFEOSInfo()));
        ASSERT_TRUE(Push(Serialized(*Codec(1, 1000, true))));
        dest.Clear();
    }
    void TearDown() override { source.DisconnectNode(); }

    bool Push(const std::vector<uint8_t>& block)
    {
        auto exact = std::make_unique<uint8_t[]>(block.size());
        if (!block.empty())
            std::memcpy(exact.get(), block.data(), block.size());
        return source.Push(block.empty() ? nullptr : exact.get(), static_cast<uint32_t>(block.size()));
    }

    // The block is refused, none of it is delivered, and the source is ready
    // for the next block; returns the error text.
    std::string ExpectRefused(const std::vector<uint8_t>& block)
    {
        const size_t before = dest.Count();
        std::string text;
        try {
            Push(block);
            ADD_FAILURE() << "a malformed block of " << block.size() << " bytes was accepted";
        } catch (const WireFormatError& e) {
            text = e.what();
        }
        EXPECT_EQ(dest.Count(), before);
        EXPECT_EQ(source.GetPosition(), 0u);
        ExpectGoodBlockStillWorks();
        return text;
    }

    void ExpectGoodBlockStillWorks()
    {
        const size_t before = dest.Count();
        EXPECT_TRUE(Push(good));
        EXPECT_EQ(dest.Count(), before + 4);
    }

    RecordingDest dest;
    FFRemoteSource source;
    std::vector<uint8_t> packet; // a 224-byte video packet record
    std::vector<uint8_t> good;   // packet, audio packet, seek marker, end of stream
};

TEST_F(RemoteSourceMalformed, TruncatedBlocksAreRefused)
{
    for (size_t cut : {size_t{1}, size_t{5}, size_t{8}, size_t{11}, packet.size() - 1, packet.size() + 7,
                       good.size() - 1}) {
        SCOPED_TRACE(cut);
        std::vector<uint8_t> block(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        ExpectRefused(block);
    }
}

TEST_F(RemoteSourceMalformed, SizeFieldsThatDoNotFitAreRefused)
{
    const int32_t real = static_cast<int32_t>(packet.size());
    for (int32_t size : {real + 1, static_cast<int32_t>(good.size()) + 1, std::numeric_limits<int32_t>::max(), -1,
                         -real, std::numeric_limits<int32_t>::min(), 0, 4, 11, 12, real - 1, 36}) {
        SCOPED_TRACE(size);
        auto block = good;
        PutI32(block, 4, size);
        const std::string text = ExpectRefused(block);
        EXPECT_NE(text.find("offset 0"), std::string::npos) << text;
    }
}

TEST_F(RemoteSourceMalformed, UnknownRecordTypesAreRefused)
{
    for (int32_t type : {0, 7, -1, 1000, std::numeric_limits<int32_t>::min()}) {
        SCOPED_TRACE(type);
        // In the middle of the block, after records that are fine.
        auto block = good;
        PutI32(block, packet.size(), type);
        const std::string text = ExpectRefused(block);
        EXPECT_EQ(text.rfind("Wrong FFData type " + std::to_string(type), 0), 0u) << text;
        EXPECT_NE(text.find("offset " + std::to_string(packet.size())), std::string::npos) << text;
    }
}

TEST_F(RemoteSourceMalformed, RecordContentThatDisagreesWithItsSizeIsRefused)
{
    // Packet data size larger than the record holds.
    auto block = good;
    PutI32(block, 40, 1 << 30);
    ExpectRefused(block);

    // Negative packet data size.
    block = good;
    PutI32(block, 40, -100);
    ExpectRefused(block);

    // A seek marker that claims to be longer than its fixed 36 bytes, with the
    // following record swallowed into it.
    block = Serialized(*SeekMarker(2.0));
    Append(block, Serialized(FFEOSInfo()));
    PutI32(block, 4, 56);
    ExpectRefused(block);

    // A codec description whose extra-data size points far past its record.
    block = Serialized(*Codec());
    PutI32(block, FFData::kHeaderSize + FFCodecInfo::kImageOffset + CodecImage::kExtraDataSize, 1 << 28);
    ExpectRefused(block);

    // A codec description whose inner video record claims more than the outer one.
    block = Serialized(*Codec());
    PutI32(block, 12 + 4, static_cast<int32_t>(block.size()));
    ExpectRefused(block);
}

TEST_F(RemoteSourceMalformed, StrayBytesAfterTheLastRecordAreRefused)
{
    for (size_t extra : {1, 5, 11, 12, 40}) {
        SCOPED_TRACE(extra);
        auto block = good;
        block.resize(block.size() + extra, 0);
        ExpectRefused(block);
    }
}

TEST_F(RemoteSourceMalformed, NullAndEmptyBlocks)
{
    EXPECT_THROW(source.Push(nullptr, 10), WireFormatError);
    EXPECT_TRUE(source.Push(nullptr, 0));
    EXPECT_TRUE(Push({}));
    EXPECT_EQ(dest.Count(), 0u);
    ExpectGoodBlockStillWorks();
}

TEST_F(RemoteSourceMalformed, AResumedBlockShorterThanItsPositionIsRefused)
{
    dest.capacity = 1;
    ASSERT_FALSE(Push(good));
    ASSERT_EQ(source.GetPosition(), packet.size());
    dest.capacity = -1;
    std::vector<uint8_t> shorter(good.begin(), good.begin() + 20);
    ExpectRefused(shorter);
}

TEST_F(RemoteSourceMalformed, ARefusedBlockLeavesTheWaitsAsTheyWere)
{
    auto broken = good;
    Append(broken, Serialized(*Codec()));
    PutI32(broken, 4, -1);

    source.Resynchronise();
    ASSERT_TRUE(source.WaitForSeek(1.0));
    EXPECT_THROW(Push(broken), WireFormatError);
    EXPECT_TRUE(source.IsWaitingForCodec());
    EXPECT_EQ(source.GetExpectedSeek(), 1.0);

    auto codec = Serialized(*Codec());
    auto block = codec;
    Append(block, good); // codec, video, audio, seek 1.0, end of stream
    EXPECT_TRUE(Push(block));
    ASSERT_EQ(dest.Count(), 3u); // codec, then from the 1.0 marker on
    EXPECT_EQ(dest.Records()[1]->GetType(), FFType::SeekInfo);
}

TEST_F(RemoteSourceMalformed, GarbageIsRefused)
{
    std::mt19937 random(1234);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> block(1 + random() % 600);
        for (auto& b : block)
            b = static_cast<uint8_t>(random());
        EXPECT_THROW(Push(block), WireFormatError);
        EXPECT_EQ(source.GetPosition(), 0u);
    }
    EXPECT_EQ(dest.Count(), 0u);
    ExpectGoodBlockStillWorks();
}

// Mutations of a good block: each either goes through or is refused with a
// wire-format error, and reading never leaves the block.
TEST_F(RemoteSourceMalformed, MutatedBlocksNeverReadOutside)
{
    std::vector<uint8_t> base = Serialized(*Codec(1, 90000, true));
    Append(base, good);
    Append(base, Serialized(FFConnectionInfo(ConnectionStatus::Connected, "camera")));

    std::mt19937 random(42);
    const std::vector<size_t> headerOffsets = [&] {
        std::vector<size_t> offsets;
        for (size_t at = 0; at + 12 <= base.size();) {
            offsets.push_back(at);
            int32_t size;
            std::memcpy(&size, base.data() + at + 4, 4);
            at += static_cast<size_t>(size);
        }
        return offsets;
    }();
    const int32_t interesting[] = {0, 1, -1, 7, 12, 36, 0x7fffffff, static_cast<int32_t>(0x80000000), 1 << 16, 1000};

    int refused = 0;
    for (int i = 0; i < 1500; ++i) {
        auto block = base;
        switch (i % 4) {
        case 0: // random bytes anywhere
            for (int k = 0; k < 1 + static_cast<int>(random() % 4); ++k)
                block[random() % block.size()] = static_cast<uint8_t>(random());
            break;
        case 1: // an interesting value in a header field
            PutI32(block, headerOffsets[random() % headerOffsets.size()] + 4 * (random() % 3),
                   interesting[random() % std::size(interesting)]);
            break;
        case 2: // an interesting value at any aligned word
            PutI32(block, 4 * (random() % (block.size() / 4)), interesting[random() % std::size(interesting)]);
            break;
        default: // cut anywhere
            block.resize(random() % block.size());
            break;
        }
        try {
            Push(block);
        } catch (const WireFormatError&) {
            ++refused;
            EXPECT_EQ(source.GetPosition(), 0u);
        }
        source.Resynchronise(); // a mutated codec record must not stop the next round
        source.WaitForSeek();
    }
    EXPECT_GT(refused, 0);

    dest.Clear();
    auto block = Serialized(*Codec());
    Append(block, good);
    EXPECT_TRUE(Push(block));
    EXPECT_EQ(dest.Count(), 5u);
}

} // namespace

// Serialized records arrive from a network. Every malformed block must be
// refused with a wire-format error, without reading outside it (each block
// sits in an allocation of exactly its size, for AddressSanitizer) and
// without pushing any of it; the remote source then takes the next good
// block as if nothing happened. Random damage is left to the fuzz entry
// points: every input their fuzzers kept goes through both again, the record
// reader and the remote player. An entry point that meets a finding aborts,
// which fails the test; the sanitizer builds catch stray reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "core/CodecContextImage.h"
#include "core/WireBytes.h"
#include "source/FFRemoteSource.h"
#include "support/CapturingDest.h"
#include "support/TestMedia.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

using Bytes = std::vector<uint8_t>;

// Calls `f` with a copy of `block` in an allocation of exactly its size.
template <typename F>
auto WithExactCopy(const Bytes& block, F f)
{
    auto exact = std::make_unique<uint8_t[]>(std::max<size_t>(block.size(), 1));
    std::copy(block.begin(), block.end(), exact.get());
    return f(block.empty() ? nullptr : exact.get(), block.size());
}

Bytes WithI32(Bytes block, size_t at, int32_t v)
{
    WireWriter(block.data(), block.size()).PutI32(at, v);
    return block;
}

Bytes Cut(const Bytes& block, size_t n)
{
    return Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(std::min(n, block.size())));
}

const auto kEnd = std::make_shared<FFEOSInfo>();
const Bytes kPacket = Block({Video(0, true, 100)}); // 224 bytes
const Bytes kGood = Block({Video(0, true, 100), Audio(0, 32), SeekMarker(1.0), kEnd});
const Bytes kCodec = Block({Codec(1, 1000, true, 9)});

// Every kind of lie a block can tell, each at the level where it is told,
// and every truncation of every kind of record.
std::vector<std::pair<std::string, Bytes>> Corruptions()
{
    std::vector<std::pair<std::string, Bytes>> out;
    const auto real = static_cast<int32_t>(kPacket.size());
    for (int32_t size : {real + 1, static_cast<int32_t>(kGood.size()) + 1, std::numeric_limits<int32_t>::max(), -1,
                         -real, std::numeric_limits<int32_t>::min(), 0, 4, 11, 12, real - 1, 36})
        out.emplace_back("size " + std::to_string(size), WithI32(kGood, 4, size));
    for (int32_t type : {0, 7, -1, 1000, std::numeric_limits<int32_t>::min()})
        out.emplace_back("type " + std::to_string(type), WithI32(kGood, kPacket.size(), type));
    for (size_t cut : {size_t{1}, size_t{5}, size_t{8}, size_t{11}, kPacket.size() - 1, kPacket.size() + 7,
                       kGood.size() - 1})
        out.emplace_back("cut to " + std::to_string(cut), Cut(kGood, cut));
    for (const Bytes& record : {kPacket, kCodec, Block({SeekMarker(3.5)}), Block({kEnd}),
                                Block({std::make_shared<FFConnectionInfo>(ConnectionStatus::Connected, "up")})})
        for (size_t n = 1; n < record.size(); ++n)
            out.emplace_back("type " + std::to_string(record[0]) + " cut to " + std::to_string(n), Cut(record, n));
    for (size_t extra : {1, 5, 11, 12, 40}) {
        Bytes stray = kGood;
        stray.resize(stray.size() + extra, 0);
        out.emplace_back("stray " + std::to_string(extra), stray);
    }
    out.emplace_back("packet data past its record", WithI32(kGood, 40, 1 << 30));
    out.emplace_back("negative packet data", WithI32(kGood, 40, -100));
    for (int32_t streamType : {-1, 3})
        out.emplace_back("stream type " + std::to_string(streamType), WithI32(kGood, 96, streamType));
    out.emplace_back("seek marker swallowing the next record",
                     WithI32(Block({SeekMarker(2.0), kEnd}), 4, 56));
    const size_t extraSize = FFData::kHeaderSize + FFCodecInfo::kImageOffset + CodecImage::kExtraDataSize;
    for (int32_t extra : {1 << 28, -1})
        out.emplace_back("extra data " + std::to_string(extra), WithI32(kCodec, extraSize, extra));
    out.emplace_back("inner description claims the whole", WithI32(kCodec, 16, static_cast<int32_t>(kCodec.size())));
    out.emplace_back("description cut inside its video part", WithI32(Cut(kCodec, 600), 4, 600));
    out.emplace_back("unknown codec number", WithI32(kCodec, FFData::kHeaderSize + FFCodecInfo::kImageOffset + 48, 999999));
    return out;
}

class RemoteSourceMalformed : public ::testing::Test {
protected:
    void SetUp() override
    {
        source.ConnectNode(&dest);
        ASSERT_TRUE(Push(kCodec));
        dest.Clear();
    }
    void TearDown() override { source.DisconnectNode(); }

    bool Push(const Bytes& block)
    {
        return WithExactCopy(block, [&](const uint8_t* at, size_t n) { return source.Push(at, uint32_t(n)); });
    }

    // Refused with nothing delivered, and the next good block plays.
    void ExpectRefused(const Bytes& block)
    {
        const size_t before = dest.Count();
        EXPECT_THROW(Push(block), WireFormatError);
        EXPECT_EQ(dest.Count(), before);
        EXPECT_EQ(source.GetPosition(), 0u);
        EXPECT_TRUE(Push(kGood));
        EXPECT_EQ(dest.Count(), before + 4);
    }

    CapturingDest<FFData> dest;
    FFRemoteSource source;
};

} // namespace

TEST_F(RemoteSourceMalformed, EveryCorruptionIsRefusedAndTheNextGoodBlockPlays)
{
    for (const auto& [name, block] : Corruptions()) {
        SCOPED_TRACE(name);
        ExpectRefused(block);
    }
    // The error says where: which record, at which offset of the block.
    try {
        Push(WithI32(kGood, kPacket.size(), 7));
        ADD_FAILURE() << "type 7 accepted";
    } catch (const WireFormatError& e) {
        EXPECT_NE(std::string(e.what()).find("offset " + std::to_string(kPacket.size())), std::string::npos) << e.what();
    }
}

TEST_F(RemoteSourceMalformed, NullEmptyAndResumedBlocks)
{
    EXPECT_THROW(source.Push(nullptr, 10), WireFormatError);
    EXPECT_TRUE(source.Push(nullptr, 0));
    EXPECT_TRUE(Push({}));
    EXPECT_EQ(dest.Count(), 0u);

    // A resumed block shorter than the position kept from the last one.
    dest.capacity = 1;
    ASSERT_FALSE(Push(kGood));
    ASSERT_EQ(source.GetPosition(), kPacket.size());
    dest.capacity = -1;
    ExpectRefused(Cut(kGood, 20));
}

TEST_F(RemoteSourceMalformed, ARefusedBlockLeavesTheWaitsAsTheyWere)
{
    source.Resynchronise();
    ASSERT_TRUE(source.WaitForSeek(1.0));
    EXPECT_THROW(Push(WithI32(Block({Video(0, true, 100), Codec(1, 1000, true, 9)}), 4, -1)), WireFormatError);
    EXPECT_TRUE(source.IsWaitingForCodec());
    EXPECT_EQ(source.GetExpectedSeek(), 1.0);

    EXPECT_TRUE(Push(Block({Codec(1, 1000, true, 9), Video(0, true, 100), Audio(0, 32), SeekMarker(1.0), kEnd})));
    ASSERT_EQ(dest.Count(), 3u);              // codec, then from the 1.0 marker on
    EXPECT_EQ(dest.Records()[1]->GetType(), FFType::SeekInfo);
}

extern "C" int FuzzSerializedRecordsOneInput(const uint8_t* data, size_t size);
extern "C" int FuzzRemoteBlocksOneInput(const uint8_t* data, size_t size);

namespace {

struct Corpus {
    const char* folder;
    int (*entry)(const uint8_t*, size_t);
};

class FuzzCorpus : public ::testing::TestWithParam<Corpus> {};

TEST_P(FuzzCorpus, EveryStoredInputPassesItsEntryPoint)
{
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QUILLET_FUZZ_DIR) / GetParam().folder)) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(WithExactCopy(ReadBytes(entry.path()), GetParam().entry), 0);
        ++inputs;
    }
    EXPECT_GT(inputs, 10u);
}

// Both corpora through both entry points: each holds blocks of records.
INSTANTIATE_TEST_SUITE_P(Replay, FuzzCorpus,
                         ::testing::Values(Corpus{"corpus", &FuzzSerializedRecordsOneInput},
                                           Corpus{"corpus-remote", &FuzzSerializedRecordsOneInput},
                                           Corpus{"corpus", &FuzzRemoteBlocksOneInput},
                                           Corpus{"corpus-remote", &FuzzRemoteBlocksOneInput}));

} // namespace

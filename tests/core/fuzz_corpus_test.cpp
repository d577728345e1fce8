// Every input the fuzzers kept goes through both fuzz entry points again: the
// record reader and the remote player. An entry point that meets a finding
// aborts, which fails this test; the sanitizer builds catch stray reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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
    const std::filesystem::path folder = std::filesystem::path(QUILLET_FUZZ_DIR) / GetParam().folder;
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // An exact allocation, so a read past the input is caught.
        auto exact = std::make_unique<uint8_t[]>(std::max<size_t>(bytes.size(), 1));
        std::copy(bytes.begin(), bytes.end(), exact.get());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(GetParam().entry(exact.get(), bytes.size()), 0);
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

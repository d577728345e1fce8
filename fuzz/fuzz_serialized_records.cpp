// Feeds untrusted blocks to the record reader the way a remote reader meets
// them: a block of records back to back, each found by its header's size.
// Every record that is accepted must re-serialize to a block that reads back
// to the same bytes, and reading must never touch a byte outside the record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "core/FFData.h"

using Quillet::CreateFromSerialized;
using Quillet::FFData;
using Quillet::FFSerializedData;

namespace {

int32_t ReadI32(const uint8_t* p)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(v);
}

[[noreturn]] void Finding(const char* what)
{
    std::fprintf(stderr, "fuzz_serialized_records: %s\n", what);
    std::abort();
}

// What came back out of the reader must go in again unchanged.
void CheckRoundTrip(const FFData& record)
{
    std::shared_ptr<FFSerializedData> once;
    try {
        once = record.Serialize();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "serialize failed: %s\n", e.what());
        Finding("a record the reader accepted could not be written again");
    }
    if (once->size != record.GetSerializedSize() || once->size < FFData::kHeaderSize ||
        ReadI32(once->data.get() + 4) != once->size)
        Finding("written size disagrees with the record's own size");
    if (ReadI32(once->data.get()) != static_cast<int32_t>(record.GetType()) ||
        ReadI32(once->data.get() + 8) != static_cast<int32_t>(once->attribute))
        Finding("written header disagrees with the record");

    std::unique_ptr<FFData> again;
    try {
        again = CreateFromSerialized(*once);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "re-read failed: %s\n", e.what());
        Finding("the reader refused a record this library wrote");
    }
    auto twice = again->Serialize();
    if (twice->size != once->size || std::memcmp(twice->data.get(), once->data.get(), static_cast<size_t>(once->size)) != 0)
        Finding("a written record does not survive a second round trip");
}

// The record alone, in a buffer of exactly its declared size, so that any
// read beyond its own end is caught rather than landing in the next record.
void ReadAlone(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> exact(data, data + size);
    try {
        auto record = CreateFromSerialized(exact.data(), exact.size());
        CheckRoundTrip(*record);
    } catch (const std::exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (size - at >= static_cast<size_t>(FFData::kHeaderSize)) {
        const size_t available = size - at;
        const int32_t declared = ReadI32(data + at + 4);
        bool accepted = false;
        try {
            auto record = CreateFromSerialized(data + at, available);
            accepted = true;
            if (record->GetSerializedSize() <= 0)
                Finding("an accepted record has no size");
            CheckRoundTrip(*record);
        } catch (const std::exception&) {
            // Refusing a block is the expected answer to garbage.
        }
        if (declared < FFData::kHeaderSize || static_cast<size_t>(declared) > available) {
            if (accepted)
                Finding("a record whose size does not fit the block was accepted");
            break;
        }
        ReadAlone(data + at, static_cast<size_t>(declared));
        at += static_cast<size_t>(declared);
    }
    return 0;
}

// Serialized records arrive from a network: every malformed block must be
// refused with an exception, never read outside the block (the sanitizer
// build checks the second half).
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFError.h"
#include "core/FFPacket.h"
#include "core/WireBytes.h"

extern "C" {
#include <libavutil/mem.h>
}

using namespace Quillet;

namespace {

std::vector<std::shared_ptr<FFSerializedData>> SampleRecords()
{
    std::vector<std::shared_ptr<FFSerializedData>> out;
    auto p = std::make_shared<FFPacket>();
    av_new_packet(p->Get(), 37);
    std::memset(p->Get()->data, 0x5A, 37);
    out.push_back(p->Serialize());

    auto video = std::make_shared<FFCodecInfo>();
    video->Context()->codec_type = AVMEDIA_TYPE_VIDEO;
    video->Context()->codec_id = AV_CODEC_ID_H264;
    video->Context()->extradata = static_cast<uint8_t*>(av_mallocz(9 + AV_INPUT_BUFFER_PADDING_SIZE));
    video->Context()->extradata_size = 9;
    auto audio = std::make_shared<FFCodecInfo>();
    audio->Context()->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->Context()->codec_id = AV_CODEC_ID_AAC;
    out.push_back(video->Serialize());
    out.push_back(FFAVCodec(video, audio).Serialize());
    out.push_back(FFSeekInfo(3.5).Serialize());
    out.push_back(FFEOSInfo().Serialize());
    out.push_back(FFConnectionInfo(ConnectionStatus::Connected, "camera back").Serialize());
    return out;
}

// A copy in a block of exactly `n` bytes, so ASan sees any read past it.
std::unique_ptr<uint8_t[]> Exact(const uint8_t* src, size_t n)
{
    auto block = std::make_unique<uint8_t[]>(n ? n : 1);
    std::memcpy(block.get(), src, n);
    return block;
}

void PutI32(uint8_t* at, int32_t v)
{
    WireWriter(at, 4).PutI32(0, v);
}

} // namespace

TEST(WireMalformed, EveryTruncationOfEveryRecordIsRefused)
{
    for (const auto& record : SampleRecords()) {
        for (int32_t n = 0; n < record->size; ++n) {
            auto block = Exact(record->data.get(), static_cast<size_t>(n));
            EXPECT_THROW(CreateFromSerialized(block.get(), static_cast<size_t>(n)), std::exception)
                << "type " << record->data[0] << " cut to " << n;
            // Header says the full size, but the block is shorter.
        }
        auto whole = Exact(record->data.get(), static_cast<size_t>(record->size));
        EXPECT_NO_THROW(CreateFromSerialized(whole.get(), static_cast<size_t>(record->size)));
    }
}

TEST(WireMalformed, SizeFieldsThatDisagreeWithTheBlockAreRefused)
{
    for (const auto& record : SampleRecords()) {
        const auto n = static_cast<size_t>(record->size);
        for (int32_t claimed : {-1, 0, 11, record->size - 1, record->size + 1, 0x7FFFFFFF}) {
            // A connection notice may legitimately be shorter: its message just ends earlier.
            if (record->data[0] == 6 && claimed == record->size - 1)
                continue;
            auto block = Exact(record->data.get(), n);
            PutI32(block.get() + 4, claimed);
            EXPECT_THROW(CreateFromSerialized(block.get(), n), std::exception)
                << "type " << record->data[0] << " claiming " << claimed;
        }
    }
    // A packet whose image claims more data bytes than the record carries.
    auto packet = SampleRecords()[0];
    auto block = Exact(packet->data.get(), static_cast<size_t>(packet->size));
    PutI32(block.get() + 40, 1 << 20);
    EXPECT_THROW(CreateFromSerialized(block.get(), static_cast<size_t>(packet->size)), std::exception);
    PutI32(block.get() + 40, -8);
    EXPECT_THROW(CreateFromSerialized(block.get(), static_cast<size_t>(packet->size)), std::exception);

    // A codec record whose extra-data size points past its end, or is negative.
    auto codec = SampleRecords()[1];
    for (int32_t extra : {1 << 24, -1, 10}) {
        auto cb = Exact(codec->data.get(), static_cast<size_t>(codec->size));
        PutI32(cb.get() + 124, extra);
        EXPECT_THROW(CreateFromSerialized(cb.get(), static_cast<size_t>(codec->size)), std::exception) << extra;
    }
    // An unknown codec number is malformed, not silently another codec.
    auto cb = Exact(codec->data.get(), static_cast<size_t>(codec->size));
    PutI32(cb.get() + 68, 999999);
    EXPECT_THROW(CreateFromSerialized(cb.get(), static_cast<size_t>(codec->size)), WireFormatError);
}

TEST(WireMalformed, TypesOutsideOneToSixAreWrongFFDataType)
{
    for (int32_t type : {0, 7, -1, 1000}) {
        auto record = FFEOSInfo().Serialize();
        PutI32(record->data.get(), type);
        try {
            CreateFromSerialized(*record);
            FAIL() << "type " << type << " accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Wrong FFData type");
        }
    }
}

TEST(WireMalformed, RandomGarbageNeverCrashes)
{
    std::mt19937 random(20261205);
    auto records = SampleRecords();
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        const auto& base = records[static_cast<size_t>(round) % records.size()];
        const auto n = static_cast<size_t>(base->size);
        auto block = Exact(base->data.get(), n);
        // Flip a few bytes anywhere, often in the header and the size fields.
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) {
            size_t at = random() % 2 ? random() % std::min<size_t>(n, 128) : random() % n;
            block[at] = static_cast<uint8_t>(random());
        }
        try {
            auto record = CreateFromSerialized(block.get(), n);
            ++accepted;
            // Whatever was accepted must serialize again without trouble.
            try {
                record->Serialize();
            } catch (const std::invalid_argument&) {
                // e.g. a pixel format the wire cannot name: refused cleanly
            }
        } catch (const std::exception&) {
        }
    }
    EXPECT_GT(accepted, 0); // harmless flips (payload bytes) still read back
}

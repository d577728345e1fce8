// Which packets count as key pictures, by flag combination: what a client
// reads in a packet's serialized attribute, and what the decoder's queue, the
// seek landing, the band, a recording and a publish all start at.
#include <gtest/gtest.h>

#include "core/FFPacket.h"
#include "decode/DecodeRecords.h"

namespace Quillet {
namespace {

struct KeyRow {
    const char* name;
    int flags;
    bool key;
};

const KeyRow kKeyRows[] = {
    {"Plain", 0, false},
    {"Key", AV_PKT_FLAG_KEY, true},
    {"KeyDisposable", AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISPOSABLE, true},
    {"KeyTrusted", AV_PKT_FLAG_KEY | AV_PKT_FLAG_TRUSTED, true},
    {"KeyCorrupt", AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT, false},
    {"KeyDiscard", AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISCARD, false},
    {"KeyCorruptDiscard", AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT | AV_PKT_FLAG_DISCARD, false},
    {"DisposableOnly", AV_PKT_FLAG_DISPOSABLE, false},
};

class KeyPicture : public ::testing::TestWithParam<KeyRow> {};

TEST_P(KeyPicture, EverySiteAgreesOnTheFlags)
{
    const KeyRow& row = GetParam();
    FFPacket video;
    video.packet->flags = row.flags;
    video.SetStreamType(FFStreamType::Video);
    FFPacket audio;
    audio.packet->flags = row.flags;
    audio.SetStreamType(FFStreamType::Audio);

    EXPECT_EQ(IsCleanKey(*video.packet), row.key);
    EXPECT_EQ(video.IsKey(), row.key);
    EXPECT_EQ(IsVideoKey(video), row.key);
    EXPECT_FALSE(IsVideoKey(audio));
    EXPECT_EQ(video.GetAttribute(), row.key ? FFAttribute::VideoKey : FFAttribute::Plain);
    EXPECT_EQ(audio.GetAttribute(), row.key ? FFAttribute::OtherKey : FFAttribute::Plain);
}

INSTANTIATE_TEST_SUITE_P(Flags, KeyPicture, ::testing::ValuesIn(kKeyRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace Quillet

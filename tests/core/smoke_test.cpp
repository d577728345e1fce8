#include <gtest/gtest.h>

#include "core/FFControlInfo.h"

TEST(Smoke, EndOfStreamRecordIsTwentyBytes)
{
    EXPECT_EQ(Quillet::FFEOSInfo().GetSerializedSize(), 20);
}

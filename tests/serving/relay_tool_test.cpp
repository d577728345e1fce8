// `ffwrap relay` carries a served clip over a loopback TCP connection into a
// remote player: everything sent arrives, and every picture is shown.
#include <filesystem>

#include <gtest/gtest.h>

#include "serving/ServingTestSupport.h"

using namespace Quillet::Testing;

TEST(RelayTool, EverySentBatchArrivesAndEveryPictureIsShown)
{
    // Tests run in build/tests/work; the tool is built beside them.
    const std::string tool = "../../tools/ffwrap/ffwrap";
    if (!std::filesystem::exists(tool))
        GTEST_SKIP() << "ffwrap is not built in this tree";
    const std::string clip = ServingClip();
    const std::string out = Capture(tool + " relay " + clip + " 2>&1; echo exit=$?");
    const size_t records = ProbePacketCount(clip) + 2;
    EXPECT_NE(out.find("sent: "), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(records) + " records"), std::string::npos) << out;
    EXPECT_NE(out.find("50 pictures, end of stream"), std::string::npos) << out;
    EXPECT_NE(out.find("relay complete"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}

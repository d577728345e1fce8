// A recording of a camera whose disk falls behind: the queue holds up to
// 30 s of the camera's pictures, then gives them up and goes on from the next
// key picture, and the application hears "recording fell behind" without the
// recording being stopped.
#include <gtest/gtest.h>

#include "events/FFEventArgs.h"
#include "record/FFFileSink.h"
#include "record/RecordingBacklog.h"
#include "support/CapturingMessenger.h"
#include "support/TestRecords.h"

using namespace Quillet;

namespace {

// 25 pictures a second with their wall-clock times, a key picture each second.
std::shared_ptr<FFPacket> Picture(int i)
{
    auto p = Testing::Video(i, i % 25 == 10, 1000);
    p->liveTime = int64_t(i + 1) * 400000;
    return p;
}

} // namespace

TEST(RecordingBacklog, PastThirtySecondsTheQueueGoesOnFromTheNextKeyAndSaysHowMuchWasLost)
{
    RecordingBacklog backlog;
    std::deque<std::shared_ptr<FFData>> queue;
    double lost = -1.0;
    auto admit = [&](const std::shared_ptr<FFData>& record) {
        if (backlog.Admit(*record, queue, lost))
            queue.push_back(record);
    };
    admit(Testing::Codec());
    for (int i = 0; i < 750; ++i) // 30 s: all held
        admit(Picture(i));
    EXPECT_EQ(queue.size(), 751u);
    EXPECT_LT(lost, 0.0);
    for (int i = 750; i < 760; ++i) // past the bound: given up until a key picture
        admit(Picture(i));
    EXPECT_EQ(queue.size(), 1u) << "only the description stays";
    admit(Picture(760));
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.back()->type, FFType::Packet);
    EXPECT_NEAR(lost, 30.4, 0.01) << "from the oldest packet given up to the key picture";

    lost = -1.0;
    backlog.Taken(); // the disk took the queue: the next 30 s are held again
    for (int i = 761; i < 1485; ++i)
        admit(Picture(i));
    EXPECT_LT(lost, 0.0);
}

TEST(RecordingBacklog, TheSinkRaisesFileSinkErrorWithoutStoppingTheRecording)
{
    Testing::CapturingMessenger messenger("recording_backlog");
    FFFileSink sink;
    sink.SetMessenger(&messenger);
    for (int i = 0; i < 800; ++i) // no write thread: the disk takes nothing
        sink.FFProcess(Picture(i));
    EXPECT_EQ(messenger.messages, std::vector<FFMessageType>{FFMessageType::FileSinkError});
    EXPECT_TRUE(messenger.Reports().empty()) << "not the error path, which stops the recording";
}

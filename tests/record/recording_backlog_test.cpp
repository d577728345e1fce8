// A recording of a camera whose disk falls behind: the queue holds up to
// 30 s of the camera's pictures, then gives them up and goes on from the next
// key picture, and the application hears RecordingFellBehind (not the error that stops a recording) without the
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

// The sound that arrives with picture i: every sound packet is flagged key.
std::shared_ptr<FFPacket> Sound(int i)
{
    auto p = Testing::Audio(i, 200);
    p->liveTime = int64_t(i + 1) * 400000 + 1;
    return p;
}

} // namespace

// A stream with sound: the sound between the bound and the next key picture
// is given up with the pictures, so the files go on from a video key picture.
TEST(RecordingBacklog, PastThirtySecondsTheQueueGoesOnFromTheNextKeyAndSaysHowMuchWasLost)
{
    RecordingBacklog backlog;
    std::deque<std::shared_ptr<FFData>> queue;
    double lost = -1.0;
    auto admit = [&](int i) {
        for (const std::shared_ptr<FFData>& record : {std::shared_ptr<FFData>(Picture(i)), std::shared_ptr<FFData>(Sound(i))})
            if (backlog.Admit(*record, queue, lost))
                queue.push_back(record);
    };
    queue.push_back(Testing::Codec(1, 1000, true));
    for (int i = 0; i < 750; ++i) // 30 s: all held
        admit(i);
    EXPECT_EQ(queue.size(), 1501u);
    EXPECT_LT(lost, 0.0);
    for (int i = 750; i < 760; ++i) // past the bound: given up until a video key picture
        admit(i);
    EXPECT_EQ(queue.size(), 1u) << "only the description stays";
    admit(760);
    ASSERT_EQ(queue.size(), 3u);
    const auto& resumed = static_cast<const FFPacket&>(*queue[1]);
    EXPECT_TRUE(resumed.streamType == FFStreamType::Video && resumed.IsKey()) << "resumed at a video key picture";
    EXPECT_NEAR(lost, 30.4, 0.01) << "from the oldest packet given up to the key picture";

    lost = -1.0;
    backlog.Taken(); // the disk took the queue: the next 30 s are held again
    for (int i = 761; i < 1485; ++i)
        admit(i);
    EXPECT_LT(lost, 0.0);
}

TEST(RecordingBacklog, TheSinkSaysItFellBehindWithoutStoppingTheRecording)
{
    Testing::CapturingMessenger messenger("recording_backlog");
    FFFileSink sink;
    sink.SetMessenger(&messenger);
    for (int i = 0; i < 800; ++i) // no write thread: the disk takes nothing
        sink.FFProcess(Picture(i));
    EXPECT_EQ(messenger.messages, std::vector<FFMessageType>{FFMessageType::RecordingFellBehind});
    EXPECT_TRUE(messenger.Reports().empty()) << "not the error path, which stops the recording";
}

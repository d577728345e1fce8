// Connection, cascaded disconnection and delivery in the node graph.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "support/CapturingDest.h"

using namespace Quillet;

namespace {

using Recorder = Quillet::Testing::CapturingDest<FFData>;
using Source = Quillet::Testing::ManualSource<FFData>;

// A filter that forwards what it gets and describes its stream by asking upstream.
class Relay : public FFNode<FFData, FFData> {
public:
    explicit Relay(std::vector<std::string>* journal) : log(journal) {}
    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        PushToDestinations(record);
        return FFStatus::Ready;
    }
    std::shared_ptr<FFData> GetMetaInfo() override { return GetParent() ? GetParent()->GetMetaInfo() : nullptr; }
    void Flush() override { log->push_back("flush relay"); }
    std::vector<std::string>* log;
};

} // namespace

TEST(NodeGraph, NewDestinationFirstReceivesTheStreamDescription)
{
    Source source;
    Recorder early;
    source.ConnectNode(&early); // nothing to describe yet
    EXPECT_TRUE(early.Count() == 0);

    source.meta = std::make_shared<FFEOSInfo>();
    Recorder late;
    source.ConnectNode(&late);
    ASSERT_EQ(late.Count(), 1u);
    EXPECT_EQ(late.Records()[0], source.meta);
    EXPECT_EQ(late.GetParent(), &source);

    // Connecting twice neither duplicates the destination nor re-sends the description.
    source.ConnectNode(&late);
    EXPECT_EQ(late.Count(), 1u);
    auto record = std::make_shared<FFSeekInfo>(1.0);
    source.PushToDestinations(record);
    EXPECT_EQ(late.Count(), 2u);
    EXPECT_EQ(early.Count(), 1u);
}

TEST(NodeGraph, PushDeliversTheSameRecordToEachDestinationInOrder)
{
    Source source;
    EXPECT_TRUE(source.PushToDestinations(std::make_shared<FFEOSInfo>()).empty());

    Recorder a, b, c;
    b.processAnswer = FFStatus::Full;
    c.processAnswer = FFStatus::Paused;
    source.ConnectNode(&a);
    source.ConnectNode(&b);
    source.ConnectNode(&c);
    auto record = std::make_shared<FFEOSInfo>();
    EXPECT_EQ(source.PushToDestinations(record),
              (std::vector<FFStatus>{FFStatus::Ready, FFStatus::Full, FFStatus::Paused}));
    EXPECT_EQ(a.Records().back(), record);
    EXPECT_EQ(c.Records().back(), record);

    EXPECT_FALSE(source.AnyDestinationBusy());
    b.status = FFStatus::Full;
    EXPECT_TRUE(source.AnyDestinationBusy());
    b.status = FFStatus::Seeking; // a seek in progress does not hold a push back
    EXPECT_FALSE(source.AnyDestinationBusy());

    // Removing forgets the destination but leaves its parent to the caller.
    source.RemoveNode(&b);
    source.RemoveNode(&b);
    source.PushToDestinations(record);
    EXPECT_EQ(b.Count(), 1u);
    EXPECT_EQ(b.GetParent(), &source);
}

TEST(NodeGraph, DisconnectionCutsTheSubtreeDeepestFirst)
{
    std::vector<std::string> journal;
    Source source;
    Relay relay(&journal);
    Recorder left, right;
    left.onFlush = [&] { journal.push_back("flush left"); };
    right.onFlush = [&] { journal.push_back("flush right"); };
    source.meta = std::make_shared<FFEOSInfo>();
    source.ConnectNode(&relay);
    relay.ConnectNode(&left);
    relay.ConnectNode(&right);
    // Destinations connected below a relay see the description of the top source.
    ASSERT_EQ(left.Count(), 1u);
    EXPECT_EQ(left.Records()[0], source.meta);

    source.DisconnectNode();
    EXPECT_EQ(relay.GetParent(), nullptr);
    EXPECT_EQ(left.GetParent(), nullptr);
    EXPECT_EQ(right.GetParent(), nullptr);
    EXPECT_FALSE(source.HasDestinations());
    EXPECT_FALSE(relay.HasDestinations());
    EXPECT_EQ(journal, (std::vector<std::string>{"flush left", "flush right", "flush relay"}));

    // Nothing reaches the former destinations afterwards.
    source.PushToDestinations(std::make_shared<FFEOSInfo>());
    EXPECT_EQ(left.Count(), 1u);
}

// Connection, cascaded disconnection and delivery in the node graph.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/FFControlInfo.h"
#include "core/FFNode.h"

using namespace Quillet;

namespace {

// Remembers everything it receives, in order, and answers a chosen status.
class Recorder : public FFDestNode<FFData> {
public:
    explicit Recorder(std::string n, std::vector<std::string>* journal = nullptr) : name(std::move(n)), log(journal) {}
    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        received.push_back(record);
        return answer;
    }
    FFStatus GetStatus() override { return status; }
    void Flush() override
    {
        ++flushes;
        if (log)
            log->push_back("flush " + name);
    }

    std::string name;
    std::vector<std::string>* log;
    std::vector<std::shared_ptr<FFData>> received;
    FFStatus answer = FFStatus::Ready;
    FFStatus status = FFStatus::Ready;
    int flushes = 0;
};

class Source : public FFSourceNode<FFData> {
public:
    std::shared_ptr<FFData> GetMetaInfo() override { return meta; }
    std::shared_ptr<FFData> meta;
};

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
    Recorder early("early");
    source.ConnectNode(&early); // nothing to describe yet
    EXPECT_TRUE(early.received.empty());

    source.meta = std::make_shared<FFEOSInfo>();
    Recorder late("late");
    source.ConnectNode(&late);
    ASSERT_EQ(late.received.size(), 1u);
    EXPECT_EQ(late.received[0], source.meta);
    EXPECT_EQ(late.GetParent(), &source);

    // Connecting twice neither duplicates the destination nor re-sends the description.
    source.ConnectNode(&late);
    EXPECT_EQ(late.received.size(), 1u);
    auto record = std::make_shared<FFSeekInfo>(1.0);
    source.PushToDestinations(record);
    EXPECT_EQ(late.received.size(), 2u);
    EXPECT_EQ(early.received.size(), 1u);
}

TEST(NodeGraph, PushDeliversTheSameRecordToEachDestinationInOrder)
{
    Source source;
    EXPECT_TRUE(source.PushToDestinations(std::make_shared<FFEOSInfo>()).empty());

    Recorder a("a"), b("b"), c("c");
    b.answer = FFStatus::Full;
    c.answer = FFStatus::Paused;
    source.ConnectNode(&a);
    source.ConnectNode(&b);
    source.ConnectNode(&c);
    auto record = std::make_shared<FFEOSInfo>();
    auto answers = source.PushToDestinations(record);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], FFStatus::Ready);
    EXPECT_EQ(answers[1], FFStatus::Full);
    EXPECT_EQ(answers[2], FFStatus::Paused);
    EXPECT_EQ(a.received.back(), record);
    EXPECT_EQ(c.received.back(), record);

    EXPECT_FALSE(source.AnyDestinationBusy());
    b.status = FFStatus::Full;
    EXPECT_TRUE(source.AnyDestinationBusy());
    b.status = FFStatus::Seeking; // a seek in progress does not hold a push back
    EXPECT_FALSE(source.AnyDestinationBusy());

    // Removing forgets the destination but leaves its parent to the caller.
    source.RemoveNode(&b);
    source.RemoveNode(&b);
    source.PushToDestinations(record);
    EXPECT_EQ(b.received.size(), 1u);
    EXPECT_EQ(b.GetParent(), &source);
}

TEST(NodeGraph, DisconnectionCutsTheSubtreeDeepestFirst)
{
    std::vector<std::string> journal;
    Source source;
    Relay relay(&journal);
    Recorder left("left", &journal), right("right", &journal);
    source.meta = std::make_shared<FFEOSInfo>();
    source.ConnectNode(&relay);
    relay.ConnectNode(&left);
    relay.ConnectNode(&right);
    // Destinations connected below a relay see the description of the top source.
    ASSERT_EQ(left.received.size(), 1u);
    EXPECT_EQ(left.received[0], source.meta);

    source.DisconnectNode();
    EXPECT_EQ(relay.GetParent(), nullptr);
    EXPECT_EQ(left.GetParent(), nullptr);
    EXPECT_EQ(right.GetParent(), nullptr);
    EXPECT_FALSE(source.HasDestinations());
    EXPECT_FALSE(relay.HasDestinations());
    EXPECT_EQ(journal, (std::vector<std::string>{"flush left", "flush right", "flush relay"}));

    // Nothing reaches the former destinations afterwards.
    source.PushToDestinations(std::make_shared<FFEOSInfo>());
    EXPECT_EQ(left.received.size(), 1u);
}

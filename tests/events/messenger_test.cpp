// The messenger's log lines and event delivery, checked through a capturing appender.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "events/FFMessageClient.h"
#include "events/FFMessenger.h"
#include "support/CapturingAppender.h"

using namespace Quillet;
using Quillet::Testing::ScopedCapture;

namespace {

// An engine-like messenger that exposes the logging set-up.
class Engine : public FFMessenger {
public:
    using FFMessenger::FFMessenger;
    void Init() { InitLogger(); }
};

} // namespace

TEST(Messenger, MessageEventIsLoggedAndDelivered)
{
    Engine messenger("MessengerTest1");
    ScopedCapture capture(messenger.Category());
    messenger.SendMessageEvent(2); // no callback: only the lines
    EXPECT_EQ(capture->Texts(), (std::vector<std::string>{"FFMessenger::SendMessageEvent: 2", "FFMessenger::SendFFEvent: "}));

    std::vector<int> seen;
    messenger.RegisterFFEventCallback([&](FFEventArgs* args) {
        ASSERT_EQ(args->type, MessageEvent);
        seen.push_back(static_cast<FFMessageArgs*>(args)->message);
    });
    messenger.SendMessageEvent(EndOfStream);
    EXPECT_EQ(seen, std::vector<int>{4});

    messenger.RegisterFFEventCallback(nullptr);
    messenger.SendMessageEvent(EndOfStream);
    EXPECT_EQ(seen.size(), 1u);
}

TEST(Messenger, ErrorWritesThreeLinesThenRaisesTheMessage)
{
    Engine messenger("MessengerTest2");
    ScopedCapture capture(messenger.Category());
    int raised = -1;
    messenger.RegisterFFEventCallback([&](FFEventArgs* a) { raised = static_cast<FFMessageArgs*>(a)->message; });
    messenger.Error("Error in: FFFileSink::_WriteFileThread", std::runtime_error("disk full"), FileSinkError);
    const auto lines = capture->Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "Error in: FFFileSink::_WriteFileThread");
    EXPECT_EQ(lines[1].text, "disk full");
    EXPECT_EQ(lines[2].text, "FFMessageError: 1");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[static_cast<size_t>(i)].priority, 300);
    EXPECT_EQ(raised, 1);
}

TEST(Messenger, DisabledInfoSuppressesLinesButNotEvents)
{
    Engine messenger("MessengerTest3");
    ScopedCapture capture(messenger.Category(), 400); // WARN
    int calls = 0;
    messenger.RegisterFFEventCallback([&](FFEventArgs*) { ++calls; });
    messenger.SendMessageEvent(4);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(capture->Lines().empty());
    messenger.LogWarn() << "kept";
    messenger.LogErrorPair("Error in: X", std::runtime_error("why"));
    EXPECT_EQ(capture->Texts(), (std::vector<std::string>{"kept", "Error in: X", "why"}));
}

TEST(Messenger, NodeWithoutMessengerLogsToRootAndRaisesNothing)
{
    FFMessageClient node;
    ScopedCapture root(log4cpp::Category::getRoot());
    node.LogInfo() << "FFDecode::Flush";
    node.ReportEndOfStream();
    node.ReportError("Error in X", std::runtime_error("e"), 2);
    EXPECT_EQ(root->Texts(), std::vector<std::string>{"FFDecode::Flush"});

    Engine messenger("MessengerTest4");
    ScopedCapture capture(messenger.Category());
    int calls = 0;
    messenger.RegisterFFEventCallback([&](FFEventArgs*) { ++calls; });
    node.SetMessenger(&messenger);
    node.LogInfo() << "through the engine";
    FFSourceConnectionStatusArgs status(ConnectionStatus::ConnectionLost, "gone");
    node.RaiseEvent(status);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(capture->Contains("through the engine"));
}

TEST(Messenger, CallbackMayBeReplacedWhileOtherThreadsRaise)
{
    Engine messenger("MessengerTest5");
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> raisers;
    for (int t = 0; t < 3; ++t)
        raisers.emplace_back([&] {
            while (!stop)
                messenger.SendMessageEvent(0);
        });
    for (int i = 0; i < 500; ++i)
        messenger.RegisterFFEventCallback([&calls, i](FFEventArgs*) { calls += i >= 0; });
    for (int i = 0; i < 2000 && calls == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (auto& t : raisers)
        t.join();
    EXPECT_GT(calls.load(), 0);
}

TEST(LoggingSetUp, BannerIsWrittenAtEveryLoadAndAMissingFileStopsNothing)
{
    // Run where there is no configuration file.
    const auto old = std::filesystem::current_path();
    const auto scratch = old / "no-config-here";
    std::filesystem::create_directories(scratch);
    std::filesystem::current_path(scratch);
    Engine first("BannerTest");
    ScopedCapture capture(first.Category());
    first.Init();
    Engine second("BannerTest");
    second.Init();
    std::filesystem::current_path(old);
    EXPECT_EQ(capture->Count(" ------------------------------- Video Joining Logfile -------------------------------- "),
              2u);
    EXPECT_EQ(capture->Count(""), 4u);
}

TEST(LoggingSetUp, ConfigurationSetsTheEngineCategoryLevel)
{
    const auto old = std::filesystem::current_path();
    const auto scratch = old / "warn-config";
    std::filesystem::create_directories(scratch / "Config");
    std::ofstream(scratch / "Config/FFLogger.conf") << "log4cpp.rootCategory=INFO\n"
                                                       "log4cpp.category.WarnOnly=WARN\n";
    std::filesystem::current_path(scratch);
    Engine engine("WarnOnly");
    engine.Init();
    std::filesystem::current_path(old);
    EXPECT_FALSE(engine.Category().isPriorityEnabled(600));
    EXPECT_TRUE(engine.Category().isPriorityEnabled(400));
    engine.Category().setPriority(log4cpp::Priority::NOTSET);
}

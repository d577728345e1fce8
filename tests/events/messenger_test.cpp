// The messenger: the callback may be replaced while other threads raise
// events, and the logging set-up never stops anything. Events reaching the
// application are checked through the facades.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "events/FFMessageClient.h"
#include "events/FFMessenger.h"

using namespace Quillet;

namespace {

// An engine-like messenger that exposes the logging set-up.
class Engine : public FFMessenger {
public:
    using FFMessenger::FFMessenger;
    void Init() { InitLogger(); }
};

} // namespace

TEST(Messenger, CallbackMayBeReplacedWhileOtherThreadsRaise)
{
    Engine messenger("MessengerTest5");
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> raisers;
    for (int t = 0; t < 3; ++t)
        raisers.emplace_back([&] {
            while (!stop)
                messenger.SendMessageEvent(FFMessageType::NoError);
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

TEST(LoggingSetUp, ConfigurationSetsTheCategoryLevelAndAMissingFileStopsNothing)
{
    const auto old = std::filesystem::current_path();
    const auto scratch = old / "warn-config";
    std::filesystem::create_directories(scratch / "Config");
    std::ofstream(scratch / "Config/FFLogger.conf") << "log4cpp.rootCategory=INFO\n"
                                                       "log4cpp.category.WarnOnly=WARN\n";
    std::filesystem::current_path(scratch);
    Engine engine("WarnOnly");
    engine.Init();
    std::filesystem::remove_all(scratch / "Config");
    Engine again("NoConfig");
    again.Init();
    again.LogInfo() << "still logging";
    std::filesystem::current_path(old);
    EXPECT_FALSE(engine.Category().isPriorityEnabled(LogLevel::Info));
    EXPECT_TRUE(engine.Category().isPriorityEnabled(LogLevel::Warn));
    engine.Category().setPriority(log4cpp::Priority::NOTSET);
}

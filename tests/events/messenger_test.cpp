// The messenger: the callback may be replaced while other threads raise
// events. Events reaching the application are checked through the facades,
// the logging set-up with the player's resources (facade/hostile_input_test).
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "events/FFMessenger.h"

using namespace Quillet;

TEST(Messenger, CallbackMayBeReplacedWhileOtherThreadsRaise)
{
    FFMessenger messenger("MessengerTest5");
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

// Worker threads: start, refusal of a second start, restart after a join,
// exception report, timed join, and a worker joining itself.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/FFThread.h"
#include "support/WaitFor.h"

using namespace Quillet;
using namespace std::chrono_literals;

namespace {

class Looper {
public:
    void Run()
    {
        while (running)
            std::this_thread::sleep_for(1ms);
        ++runs;
    }
    void Throw() { throw std::runtime_error("decoder exploded"); }
    std::atomic<bool> running{true};
    std::atomic<int> runs{0};
};

} // namespace

TEST(Worker, SecondStartIsRefusedJoinedWorkersRestartAndAnEscapingExceptionIsReported)
{
    Looper looper;
    thread<Looper> worker;
    worker.Start(&looper, &Looper::Run);
    EXPECT_THROW(worker.Start(&looper, &Looper::Run), std::exception);
    EXPECT_TRUE(worker.IsRunning());
    looper.running = false;
    EXPECT_TRUE(worker.Join());
    EXPECT_EQ(looper.runs, 1);
    EXPECT_EQ(worker.ExitCode(), 0);
    worker.Start(&looper, &Looper::Run);
    EXPECT_TRUE(worker.Join());
    EXPECT_EQ(looper.runs, 2);
    worker.Start(&looper, &Looper::Throw); // ends only this worker
    EXPECT_TRUE(worker.Join());
    EXPECT_EQ(worker.ExitCode(), -1);
}

TEST(Worker, TimedOutJoinLetsTheThreadGoOnAndAWorkerMayJoinItself)
{
    threadex idle;
    EXPECT_TRUE(idle.Join());

    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        threadex worker;
        worker.Start([release, finished] {
            while (!*release)
                std::this_thread::sleep_for(1ms);
            *finished = true;
        });
        const auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(worker.Join(50ms));
        EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
        EXPECT_FALSE(worker.IsStarted()); // forgotten by the wrapper
    } // the wrapper is gone; the detached thread must not need it
    *release = true;
    EXPECT_TRUE(Testing::WaitFor([&] { return finished->load(); }));

    threadex self;
    std::atomic<bool> joined{false};
    self.Start([&] { joined = self.Join(); });
    EXPECT_TRUE(Testing::WaitFor([&] { return joined.load(); }));
}

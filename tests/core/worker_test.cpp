// Worker threads: start, refusal of a second start, restart after a join,
// exception report, a join that outlasts the warning period (it still waits,
// and names the worker), and a worker joining itself.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/FFThread.h"
#include "events/FFLogger.h"
#include "support/CapturingAppender.h"
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

// Warnings that name the worker.
int Named(const std::vector<std::string>& texts)
{
    int n = 0;
    for (const auto& text : texts)
        n += text.find("slow stopper") != std::string::npos;
    return n;
}

} // namespace

TEST(Worker, SecondStartIsRefusedJoinedWorkersRestartAndAnEscapingExceptionIsReported)
{
    Looper looper;
    thread<Looper> worker("looper");
    worker.Start(&looper, &Looper::Run);
    EXPECT_THROW(worker.Start(&looper, &Looper::Run), std::exception);
    EXPECT_TRUE(worker.IsRunning());
    looper.running = false;
    worker.Join();
    EXPECT_EQ(looper.runs, 1);
    EXPECT_EQ(worker.ExitCode(), 0);
    worker.Start(&looper, &Looper::Run);
    worker.Join();
    EXPECT_EQ(looper.runs, 2);
    worker.Start(&looper, &Looper::Throw); // ends only this worker
    worker.Join();
    EXPECT_EQ(worker.ExitCode(), -1);
}

TEST(Worker, JoinWaitsPastTheWarningPeriodNamingTheWorkerAndAWorkerMayJoinItself)
{
    threadex idle;
    idle.Join();

    Testing::ScopedCapture log(RootLogger(), LogLevel::Warn);
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    threadex worker("slow stopper");
    worker.Start([&] {
        while (!release)
            std::this_thread::sleep_for(1ms);
        finished = true;
    });
    std::thread releaser([&] {
        // Released only once the join has warned twice: it must not give up.
        Testing::WaitFor([&] { return Named(log->Texts()) >= 2; }, 10s);
        release = true;
    });
    worker.Join(20ms);
    EXPECT_TRUE(finished); // the join returned only after the worker ended
    EXPECT_FALSE(worker.IsStarted());
    releaser.join();
    EXPECT_GE(Named(log->Texts()), 2);

    threadex self;
    std::atomic<bool> joined{false};
    self.Start([&] {
        self.Join();
        joined = true;
    });
    EXPECT_TRUE(Testing::WaitFor([&] { return joined.load(); }));
}

// Worker threads: start, refusal of a second start, restart after a join,
// exception report, and a worker joining itself. (A join that outlasts the
// warning period is checked where it matters, on a source destroyed while its
// thread is held: FileSourceStop in source/file_source_test.)
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

TEST(Worker, JoiningAnIdleWorkerReturnsAndAWorkerMayJoinItself)
{
    threadex idle;
    idle.Join();
    threadex self;
    std::atomic<bool> joined{false};
    self.Start([&] {
        self.Join();
        joined = true;
    });
    EXPECT_TRUE(Testing::WaitFor([&] { return joined.load(); }));
}

// The stop token: a level every wait sees, on every system.
#include "CStopToken.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(StopToken, ALevelThatEveryWaitSees)
{
    CStopToken stop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stop.Wait(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    stop.Raise();
    EXPECT_TRUE(stop.Requested());
    EXPECT_TRUE(stop.Wait(-1));
    EXPECT_TRUE(stop.Wait(1000));
    stop.Reset();
    EXPECT_FALSE(stop.Wait(0));
}

// Raised from another thread (a signal handler, the Windows console's
// control thread), a wait without limit ends at once.
TEST(StopToken, ARaiseFromAnotherThreadEndsAWaitWithoutLimit)
{
    CStopToken stop;
    EXPECT_TRUE(stop.HasHandle());
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.Raise();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(stop.Wait(-1));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    raiser.join();
}

}  // namespace

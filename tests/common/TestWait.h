// Waiting for what a test can only look at from outside (a child process,
// a server, another thread's counters): look again every few milliseconds
// until it holds or the limit passes.
#pragma once

#include <chrono>
#include <thread>

template <typename Pred>
bool WaitFor(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10),
             std::chrono::milliseconds step = std::chrono::milliseconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(step);
    }
    return true;
}

#include "CStopSignal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Shared with the signal handler: plain ints and a lock-free flag only.
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_stop{false};
constexpr int kPollSliceMs = 50;

}  // namespace

void CStopSignal::OnSignal(int)
{
    const int saved = errno;
    g_stop.store(true);
    const char byte = 1;
    (void)!write(g_pipe[1], &byte, 1);
    errno = saved;
}

CStopSignal::CStopSignal()
{
    g_stop.store(false);
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;  // waits then fall back to the flag alone
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

CStopSignal::~CStopSignal()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

bool CStopSignal::Requested() const
{
    return g_stop.load();
}

void CStopSignal::Raise()
{
    OnSignal(0);
}

bool CStopSignal::Wait(int ms) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!Requested()) {
        int left = -1;
        if (ms >= 0) {
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (rest.count() <= 0)
                return false;
            left = static_cast<int>(rest.count());
        }
        if (g_pipe[0] < 0 && (left < 0 || left > kPollSliceMs))
            left = kPollSliceMs;  // no pipe: only the flag tells, so look often
        pollfd pfd{g_pipe[0], POLLIN, 0};
        if (poll(&pfd, 1, left) < 0 && errno != EINTR)
            return Requested();
    }
    return true;
}

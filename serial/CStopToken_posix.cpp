#include "CStopToken.h"

#include <cerrno>
#include <chrono>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

CStopToken::CStopToken() : m_native(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CStopToken::~CStopToken()
{
    if (m_native >= 0)
        close(m_native);
}

bool CStopToken::HasHandle() const
{
    return m_native >= 0;
}

void CStopToken::Raise()
{
    const int saved = errno;
    m_raised.store(true);
    if (m_native >= 0) {
        const uint64_t one = 1;
        (void)!write(m_native, &one, sizeof one);
    }
    errno = saved;
}

void CStopToken::Reset()
{
    m_raised.store(false);
    if (m_native >= 0) {
        uint64_t value;
        (void)!read(m_native, &value, sizeof value);
    }
}

bool CStopToken::Wait(int ms) const
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
        if (m_native < 0 && (left < 0 || left > kFlagSliceMs))
            left = kFlagSliceMs;
        pollfd pfd{m_native, POLLIN, 0};
        if (poll(&pfd, 1, left) < 0 && errno != EINTR)
            return Requested();
    }
    return true;
}

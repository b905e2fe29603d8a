#include "CStopToken.h"

#include <chrono>

#include <windows.h>

// Manual reset, not signalled, unnamed: set by Raise, cleared by Reset only.
CStopToken::CStopToken() : m_native(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CStopToken::~CStopToken()
{
    if (m_native != nullptr)
        CloseHandle(m_native);
}

bool CStopToken::HasHandle() const
{
    return m_native != nullptr;
}

void CStopToken::Raise()
{
    m_raised.store(true);
    if (m_native != nullptr)
        SetEvent(m_native);
}

void CStopToken::Reset()
{
    m_raised.store(false);
    if (m_native != nullptr)
        ResetEvent(m_native);
}

bool CStopToken::Wait(int ms) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!Requested()) {
        DWORD left = INFINITE;
        if (ms >= 0) {
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (rest.count() <= 0)
                return false;
            left = static_cast<DWORD>(rest.count());
        }
        if (m_native == nullptr) {
            Sleep(left == INFINITE || left > kFlagSliceMs ? kFlagSliceMs : left);
        } else if (WaitForSingleObject(m_native, left) == WAIT_FAILED) {
            Sleep(kFlagSliceMs);  // a handle gone bad: the flag still tells
        }
    }
    return true;
}

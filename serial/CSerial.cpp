// What CSerial does the same on every system: the transfer cap, the port
// lock, the purge after a failure and the short-transfer texts. The system
// calls are in CSerial_posix.cpp and CSerial_win32.cpp.
#include "CSerial.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

CSerial::CSerial() = default;

CSerial::~CSerial()
{
    if (IsOpen())
        Close();
}

void CSerial::SetLastText(const char* text, int error)
{
    m_strLastError = text;
    m_nLastErrno = error;
}

int CSerial::Read(uint8_t* buffer, uint32_t count, uint32_t* received)
{
    count = std::min(count, kMaxTransfer);
    std::lock_guard<std::mutex> lock(m_portLock);
    uint32_t got = 0;
    if (!Transfer(Direction::Read, buffer, count, &got)) {
        Purge();
        return 0;
    }
    *received = got;
    if (got != count) {
        char text[96];
        std::snprintf(text, sizeof text, "Only %u byte<s> received, but %u requested.", got, count);
        SetLastText(text, 0);
    }
    return 1;
}

int CSerial::Write(const uint8_t* buffer, uint32_t count)
{
    count = std::min(count, kMaxTransfer);
    std::lock_guard<std::mutex> lock(m_portLock);
    uint32_t sent = 0;
    if (!Transfer(Direction::Write, const_cast<uint8_t*>(buffer), count, &sent)) {
        Purge();
        return 0;
    }
    if (sent != count) {
        char text[96];
        std::snprintf(text, sizeof text, "Only %u byte<s> written, but %u requested.", sent, count);
        SetLastText(text, 0);
        return 0;
    }
    return 1;
}

int CSerial::ReadTotalMs(uint32_t count) const
{
    if (m_dwReadTotalLimitMs != 0)
        return static_cast<int>(std::min<uint32_t>(m_dwReadTotalLimitMs, kReadWaitMs));
    return MeterReadTotalMs(count);
}

bool CSerial::PauseUnlessCancelled(int ms) const
{
    if (m_cancel != nullptr)
        return m_cancel->Wait(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
}

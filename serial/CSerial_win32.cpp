// CSerial on Windows: a COM device opened overlapped, its time limits held
// by COMMTIMEOUTS, each transfer waited for on its event beside the stop
// token's event.
#include "CSerial.h"

#include "PortMap.h"
#include "SystemError.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <windows.h>

namespace {

// How a serial driver completes a transfer that its time-outs ended. It is
// a success status: Windows' GetOverlappedResult returns TRUE for it, with
// the bytes moved so far. Wine's returns FALSE (ERROR_TIMEOUT) for it.
constexpr ULONG_PTR kStatusTimeout = 0x00000102;

const char kAbandonedText[] =
    "The specified object is a mutex that was not released by the thread that owned it.";

std::wstring Wide(const std::string& text)
{
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

}  // namespace

bool CSerial::IsOpen() const
{
    return m_hPort != nullptr;
}

void CSerial::SetLastError(const char* label, int error)
{
    const std::string message = SystemErrorText(error);
    char text[512];
    std::snprintf(text, sizeof text, "'%s' failed with the following error: %s", label,
                  message.c_str());
    SetLastText(text, error);
}

void CSerial::SetCancelledError(const char* label)
{
    SetLastError(label, ERROR_OPERATION_ABORTED);
}

int CSerial::Open()
{
    if (IsOpen())
        Close();

    m_strDevice = m_strDevicePath.empty() ? ComPortPath(m_nPort) : m_strDevicePath;
    if (m_strDevice.empty()) {
        SetLastError("OpenCom", ERROR_FILE_NOT_FOUND);
        Close();
        return 0;
    }
    // No sharing: a second opener, this program or another, is refused.
    HANDLE port = CreateFileW(Wide(m_strDevice).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, m_bOverlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        SetLastError("OpenCom", static_cast<int>(GetLastError()));
        Close();
        return 0;
    }
    m_hPort = port;
    // Manual reset, not signalled; whether they exist is looked at below.
    m_hReadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    if (!ApplyTimeouts(m_dwReadTotalLimitMs) || !SetupComm(port, kMaxTransfer, kMaxTransfer)) {
        SetLastError("SetCommtimeouts", static_cast<int>(GetLastError()));
        Close();
        return 0;
    }
    if (!ApplyCommState() || m_hReadEvent == nullptr || m_hWriteEvent == nullptr) {
        SetLastError("SetCommState", static_cast<int>(GetLastError()));
        Close();
        return 0;
    }
    // Nothing from before this open is an answer to what comes next.
    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
    return 1;
}

// The meter's limits; a caller's read limit replaces the per-byte total.
int CSerial::ApplyTimeouts(uint32_t readTotalLimitMs)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    if (readTotalLimitMs == 0) {
        timeouts.ReadTotalTimeoutMultiplier = kReadTotalPerByteMs;
        timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
    } else {
        timeouts.ReadTotalTimeoutConstant = std::min<uint32_t>(readTotalLimitMs, kReadWaitMs);
    }
    timeouts.WriteTotalTimeoutMultiplier = kWriteTotalPerByteMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalConstantMs;
    if (!SetCommTimeouts(m_hPort, &timeouts))
        return 0;
    m_dwAppliedReadLimitMs = readTotalLimitMs;
    return 1;
}

// The fields over what the driver reports; items without a field (XON/XOFF
// flow and characters, error and event characters, null stripping) keep
// the driver's values.
int CSerial::ApplyCommState()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(m_hPort, &dcb);  // a failure leaves the zeroed block to build on
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = m_dwBaudRate;
    dcb.ByteSize = m_byDataBits;
    dcb.Parity = m_byParity;
    dcb.StopBits = m_byStopBits;
    dcb.EofChar = static_cast<char>(m_chEof);
    dcb.fBinary = m_bBinary != 0;
    dcb.fParity = m_bParityCheck != 0;
    dcb.fOutxCtsFlow = m_bCtsOutFlow != 0;
    dcb.fOutxDsrFlow = m_bDsrOutFlow != 0;
    dcb.fDsrSensitivity = m_bDsrSensitivity != 0;
    dcb.fDtrControl = m_dwLineControl & 3;
    dcb.fRtsControl = (m_dwLineControl >> 2) & 3;
    // A line error (framing, overrun) stops every transfer until the error
    // state is cleared, which each transfer does first.
    dcb.fAbortOnError = TRUE;
    return SetCommState(m_hPort, &dcb) ? 1 : 0;
}

void CSerial::Close()
{
    std::lock_guard<std::mutex> lock(m_portLock);  // a transfer in progress ends first
    for (void** event : {&m_hReadEvent, &m_hWriteEvent}) {
        if (*event != nullptr)
            CloseHandle(*event);
        *event = nullptr;
    }
    if (m_hPort == nullptr)
        return;
    CancelIo(m_hPort);
    CloseHandle(m_hPort);
    m_hPort = nullptr;
    m_dwAppliedReadLimitMs = 0;
}

void CSerial::Purge()
{
    if (m_hPort == nullptr)
        return;
    DWORD errors = 0;
    ClearCommError(m_hPort, &errors, nullptr);
    PurgeComm(m_hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// Moves up to `count` bytes under the port's time-outs. Returns 1 when the
// transfer ended normally (possibly short), 0 on failure with the
// last-error text set. The caller holds the port lock.
int CSerial::Transfer(Direction dir, uint8_t* buffer, uint32_t count, uint32_t* done)
{
    const bool reading = dir == Direction::Read;
    const char* label = reading ? "ReadFile" : "WriteFile";
    if (m_hPort == nullptr) {
        SetLastError(label, ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD errors = 0;
    ClearCommError(m_hPort, &errors, nullptr);
    if (reading && m_dwReadTotalLimitMs != m_dwAppliedReadLimitMs &&
        !ApplyTimeouts(m_dwReadTotalLimitMs)) {
        SetLastError("SetCommtimeouts", static_cast<int>(GetLastError()));
        return 0;
    }
    if (m_cancel != nullptr && m_cancel->Requested()) {
        SetCancelledError(label);
        return 0;
    }

    if (!m_bOverlapped) {  // the port's time-outs alone bound it
        DWORD n = 0;
        const BOOL ok = reading ? ReadFile(m_hPort, buffer, count, &n, nullptr)
                                : WriteFile(m_hPort, buffer, count, &n, nullptr);
        if (!ok) {
            SetLastError(label, static_cast<int>(GetLastError()));
            return 0;
        }
        *done = n;
        return 1;
    }

    OVERLAPPED ov{};
    ov.hEvent = reading ? m_hReadEvent : m_hWriteEvent;
    ResetEvent(ov.hEvent);
    // The count comes from the finished record, never from the start: a
    // transfer that completes at once still signals its event.
    const BOOL started = reading ? ReadFile(m_hPort, buffer, count, nullptr, &ov)
                                 : WriteFile(m_hPort, buffer, count, nullptr, &ov);
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            SetLastError(label, static_cast<int>(error));
            return 0;
        }
    }
    return WaitForTransfer(dir, &ov, done);
}

// Waits for the started transfer, at most the outer wait, and for the stop
// token. A transfer given up on (stopped, outer wait over) is cancelled
// and waited for: its buffer and record live on the caller's stack.
int CSerial::WaitForTransfer(Direction dir, void* overlapped, uint32_t* done)
{
    OVERLAPPED& ov = *static_cast<OVERLAPPED*>(overlapped);
    const bool reading = dir == Direction::Read;
    const char* label = reading ? "ReadFile" : "WriteFile";
    const bool stopEvent = m_cancel != nullptr && m_cancel->HasHandle();
    const HANDLE waits[2] = {ov.hEvent, stopEvent ? m_cancel->Handle() : nullptr};
    const DWORD handles = stopEvent ? 2 : 1;
    // A stop token without its event is looked at every few milliseconds.
    const bool sliced = m_cancel != nullptr && !stopEvent;

    using Clock = std::chrono::steady_clock;
    const auto outer =
        Clock::now() + std::chrono::milliseconds(reading ? kReadWaitMs : kWriteWaitMs);
    DWORD woke = WAIT_TIMEOUT;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(outer - Clock::now()).count();
        DWORD waitMs = left > 0 ? static_cast<DWORD>(left) : 0;
        if (sliced)
            waitMs = std::min<DWORD>(waitMs, CStopToken::kFlagSliceMs);
        woke = WaitForMultipleObjects(handles, waits, FALSE, waitMs);
        if (woke != WAIT_TIMEOUT)
            break;
        if (sliced && m_cancel->Requested()) {
            woke = WAIT_OBJECT_0 + 1;
            break;
        }
        if (Clock::now() >= outer)
            break;
    }

    if (woke == WAIT_OBJECT_0) {
        DWORD n = 0;
        if (GetOverlappedResult(m_hPort, &ov, &n, TRUE) || ov.Internal == kStatusTimeout) {
            *done = static_cast<uint32_t>(ov.InternalHigh);
            return 1;
        }
        SetLastError("GetOverlappedResult", static_cast<int>(GetLastError()));
        return 0;
    }

    const DWORD waitError = GetLastError();
    CancelIo(m_hPort);
    DWORD ignored = 0;
    GetOverlappedResult(m_hPort, &ov, &ignored, TRUE);
    if (woke == WAIT_OBJECT_0 + 1)
        SetCancelledError(label);
    else if (woke == WAIT_TIMEOUT)
        SetLastText(kTimedOutText, WAIT_TIMEOUT);
    else if (woke >= WAIT_ABANDONED_0 && woke < WAIT_ABANDONED_0 + handles)
        SetLastText(kAbandonedText, ERROR_ABANDONED_WAIT_0);
    else
        SetLastError("WaitForSingleObject", static_cast<int>(waitError));
    return 0;
}

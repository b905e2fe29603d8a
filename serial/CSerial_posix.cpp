// CSerial on POSIX: a termios device driven by poll() with deadlines.
#include "CSerial.h"

#include "PortMap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

speed_t SpeedCode(uint32_t baud)
{
    static const struct {
        uint32_t baud;
        speed_t code;
    } table[] = {
        {50, B50},         {75, B75},         {110, B110},         {134, B134},
        {150, B150},       {200, B200},       {300, B300},         {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    };
    for (const auto& entry : table)
        if (entry.baud == baud)
            return entry.code;
    return B0;
}

// Milliseconds left until `deadline`, rounded up so poll() never wakes early.
int MillisUntil(Clock::time_point deadline)
{
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<int>(std::chrono::ceil<Millis>(left).count());
}

}  // namespace

bool CSerial::IsOpen() const
{
    return m_fd >= 0;
}

void CSerial::SetLastError(const char* label, int error)
{
    char buf[128];
    const char* message = strerror_r(error, buf, sizeof buf);
    char text[256];
    std::snprintf(text, sizeof text, "'%s' failed with the following error: %s", label, message);
    SetLastText(text, error);
}

int CSerial::Open()
{
    if (m_fd >= 0)
        Close();

    m_strDevice = m_strDevicePath.empty() ? ComPortPath(m_nPort) : m_strDevicePath;
    int fd = m_strDevice.empty()
                 ? (errno = ENOENT, -1)
                 : open(m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError("OpenCom", errno);
        Close();
        return 0;
    }
    // No sharing: flock keeps out every other opener, root included. Only a
    // terminal is locked: the lock on a shared node such as /dev/null would
    // turn "not a terminal" into "busy" for a second program trying it.
    if (isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        SetLastError("OpenCom", error);
        Close();
        return 0;
    }
    ioctl(fd, TIOCEXCL);
    m_fd = fd;

    int error = ApplyLineSettings();
    if (error != 0) {
        SetLastError("SetCommState", error);
        Close();
        return 0;
    }
    ApplyModemLines();
    // Nothing from before this open is an answer to what comes next.
    tcflush(m_fd, TCIFLUSH);
    return 1;
}

// Returns 0 or the errno that made the settings fail.
int CSerial::ApplyLineSettings()
{
    termios tio{};
    tcgetattr(m_fd, &tio);  // a failure leaves the zeroed block to build on
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed = SpeedCode(m_dwBaudRate);
    if (speed == B0 || cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return EINVAL;

    tio.c_cflag &= ~CSIZE;
    switch (m_byDataBits) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        case 8: tio.c_cflag |= CS8; break;
        default: return EINVAL;
    }

    tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (m_byParity) {
        case 0: break;
        case 1: tio.c_cflag |= PARENB | PARODD; break;
        case 2: tio.c_cflag |= PARENB; break;
        case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: tio.c_cflag |= PARENB | CMSPAR; break;
        default: return EINVAL;
    }
    // The tty keeps its settings between opens: clear what we may not set.
    tio.c_iflag &= ~INPCK;
    if (m_bParityCheck)
        tio.c_iflag |= INPCK;

    if (m_byStopBits > 2)
        return EINVAL;
    tio.c_cflag &= ~CSTOPB;
    if (m_byStopBits != 0)
        tio.c_cflag |= CSTOPB;

    const unsigned rtsCode = (m_dwLineControl >> 2) & 3;
    if (m_bCtsOutFlow || rtsCode == 2)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;

    if (tcsetattr(m_fd, TCSANOW, &tio) != 0)
        return errno;
    return 0;
}

void CSerial::ApplyModemLines()
{
    const unsigned dtrCode = m_dwLineControl & 3;
    const unsigned rtsCode = (m_dwLineControl >> 2) & 3;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    // A pty has no modem lines and refuses these; that is fine.
    ioctl(m_fd, dtrCode == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
    if (rtsCode == 0 || rtsCode == 1) {
        ioctl(m_fd, rtsCode == 0 ? TIOCMBIC : TIOCMBIS, &rts);
    } else if (rtsCode == 3) {
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        ioctl(m_fd, TIOCSRS485, &rs485);
    }
}

void CSerial::Close()
{
    std::lock_guard<std::mutex> lock(m_portLock);  // a transfer in progress ends first
    if (m_fd < 0)
        return;
    // TIOCEXCL outlives our descriptor while anyone else holds the tty open.
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);  // drops the flock too
    m_fd = -1;
}

void CSerial::Purge()
{
    if (m_fd >= 0)
        tcflush(m_fd, TCIOFLUSH);
}

void CSerial::SetCancelledError(const char* label)
{
    SetLastError(label, ECANCELED);
}

// Moves up to `count` bytes under the time limits of the header. Returns 1
// when the transfer ended normally (possibly short), 0 on failure with the
// last-error text set. The caller holds the port lock.
int CSerial::Transfer(Direction dir, uint8_t* buffer, uint32_t count, uint32_t* done)
{
    const bool reading = dir == Direction::Read;
    const char* label = reading ? "ReadFile" : "WriteFile";
    if (m_fd < 0) {
        SetLastError(label, EBADF);
        return 0;
    }

    const auto start = Clock::now();
    const int totalMs =
        reading ? ReadTotalMs(count)
                : kWriteTotalPerByteMs * static_cast<int>(count) + kWriteTotalConstantMs;
    const auto total = start + Millis(totalMs);
    const auto outer = start + Millis(reading ? kReadWaitMs : kWriteWaitMs);
    auto lastByte = start;

    // A token without its eventfd is looked at every few milliseconds.
    const int cancelFd = m_cancel != nullptr ? m_cancel->Handle() : -1;
    const bool sliced = m_cancel != nullptr && cancelFd < 0;

    while (*done < count) {
        if (m_cancel != nullptr && m_cancel->Requested()) {
            SetCancelledError(label);
            return 0;
        }
        auto limit = total;
        if (reading && *done > 0)
            limit = std::min(limit, lastByte + Millis(kReadIntervalMs));
        const bool outerFirst = m_bOverlapped && outer < limit;
        if (outerFirst)
            limit = outer;

        pollfd fds[2] = {{m_fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0},
                         {cancelFd, POLLIN, 0}};
        int waitMs = MillisUntil(limit);
        if (sliced)
            waitMs = std::min(waitMs, CStopToken::kFlagSliceMs);
        int ready = poll(fds, 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            SetLastError("WaitForSingleObject", errno);
            return 0;
        }
        if (fds[1].revents & (POLLIN | POLLNVAL)) {
            SetCancelledError(label);
            return 0;
        }
        if (ready == 0) {
            if (Clock::now() < limit)
                continue;
            if (outerFirst) {
                SetLastText(kTimedOutText, ETIMEDOUT);
                return 0;
            }
            return 1;  // the time-outs ended it: a short transfer
        }
        const pollfd& pfd = fds[0];
        if (pfd.revents == 0)
            continue;
        if (pfd.revents & POLLNVAL) {
            SetLastError(label, EBADF);
            return 0;
        }
        const short wanted = reading ? POLLIN : POLLOUT;
        if (!(pfd.revents & wanted)) {  // POLLHUP or POLLERR alone: the device is gone
            SetLastError(label, EIO);
            return 0;
        }
        ssize_t n = reading ? read(m_fd, buffer + *done, count - *done)
                            : write(m_fd, buffer + *done, count - *done);
        if (n > 0) {
            *done += static_cast<uint32_t>(n);
            lastByte = Clock::now();
        } else if (n == 0) {
            // Readable yet nothing to read: the other end hung up.
            SetLastError(label, EIO);
            return 0;
        } else if (errno != EAGAIN && errno != EINTR) {
            SetLastError(label, errno);
            return 0;
        }
    }
    return 1;
}

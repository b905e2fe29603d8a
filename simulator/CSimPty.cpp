#include "CSimPty.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string ErrnoText(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

CSimPty::CSimPty()
{
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        m_wakeErrno = errno;
}

CSimPty::~CSimPty()
{
    Close();
    CloseFd(m_wake);
}

bool CSimPty::Open(std::string* error)
{
    if (m_wake < 0) {
        if (error)
            *error = ErrnoText("eventfd", m_wakeErrno);
        return false;
    }
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        if (error)
            *error = ErrnoText("posix_openpt", errno);
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        if (error)
            *error = ErrnoText("grantpt/unlockpt/ptsname", errno);
        close(m);
        return false;
    }
    // Our own hold on the far end: a client closing the port must not hang
    // up the master side.
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (s < 0) {
        if (error)
            *error = ErrnoText(std::string("open ") + name, errno);
        close(m);
        return false;
    }
    // Raw, 9600 8N1 until a client sets the line: no echo or line editing
    // to garble frames, and not the meter's 8N2 either.
    termios tio{};
    if (tcgetattr(s, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~CSTOPB;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(s, TCSANOW, &tio);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);

    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in >= 0 && inotify_add_watch(in, name, IN_OPEN | IN_CLOSE) < 0)
        CloseFd(in);

    m_master = m;
    m_ownSlave = s;
    m_inotify = in;
    m_masterGone = false;
    m_clients = 0;
    std::lock_guard<std::mutex> lock(m_pathMutex);
    m_device = name;
    m_lastDevice = name;
    return true;
}

void CSimPty::Close()
{
    CloseFd(m_inotify);
    CloseFd(m_master);
    CloseFd(m_ownSlave);
    std::lock_guard<std::mutex> lock(m_pathMutex);
    m_device.clear();
}

std::string CSimPty::DevicePath() const
{
    std::lock_guard<std::mutex> lock(m_pathMutex);
    return m_device;
}

std::string CSimPty::LastDevicePath() const
{
    std::lock_guard<std::mutex> lock(m_pathMutex);
    return m_lastDevice;
}

void CSimPty::RequestStop()
{
    uint64_t one = 1;
    ssize_t n = write(m_wake, &one, sizeof one);
    (void)n;
}

void CSimPty::ClearStop()
{
    uint64_t value;
    ssize_t n = read(m_wake, &value, sizeof value);
    (void)n;
}

bool CSimPty::StopRequested() const
{
    pollfd pfd{m_wake, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0;
}

CSimPty::Event CSimPty::Wait(int timeoutMs)
{
    for (;;) {
        pollfd fds[3] = {
            {m_wake, POLLIN, 0}, {m_masterGone ? -1 : m_master, POLLIN, 0}, {m_inotify, POLLIN, 0}};
        const int r = poll(fds, 3, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || fds[0].revents)
            return Event::Stop;
        if (fds[2].revents & POLLIN)
            DrainInotify();
        if (fds[1].revents & POLLIN)
            return Event::Input;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            m_masterGone = true;  // cannot happen while we hold the slave; never spin on it
        // Timed out, or only the client count moved: the caller looks at
        // its deadlines again.
        return Event::Timeout;
    }
}

size_t CSimPty::Read(uint8_t* buffer, size_t size)
{
    const ssize_t n = read(m_master, buffer, size);
    if (n > 0)
        return static_cast<size_t>(n);
    if (n == 0 || (errno != EAGAIN && errno != EINTR))
        m_masterGone = true;
    return 0;
}

long CSimPty::LineByteNs() const
{
    // The master's termios on Linux is the slave's: the client's settings.
    termios tio{};
    if (tcgetattr(m_master, &tio) != 0)
        return 0;
    const speed_t out = cfgetospeed(&tio);
    const speed_t in = cfgetispeed(&tio);
    if (out != B9600 || (in != B9600 && in != B0))
        return 0;
    if ((tio.c_cflag & CSIZE) != CS8 || (tio.c_cflag & PARENB) != 0 || (tio.c_cflag & CSTOPB) == 0)
        return 0;
    // In 64 bits: 11e9 does not fit a 32-bit long (armhf).
    const int64_t bits = 1 + 8 + 2;  // start, data, stop
    return static_cast<long>(bits * 1000000000 / 9600);
}

bool CSimPty::WaitUntil(SimClock::time_point deadline)
{
    for (;;) {
        const auto left = deadline - SimClock::now();
        if (left <= SimClock::duration::zero())
            return StopRequested();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000L), static_cast<long>(ns % 1000000000L)};
        pollfd pfd{m_wake, POLLIN, 0};
        const int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return StopRequested();
    }
}

bool CSimPty::Send(const uint8_t* bytes, size_t count, long byteNs)
{
    const auto start = SimClock::now();
    size_t sent = 0;
    while (sent < count) {
        size_t due = count;
        if (byteNs > 0) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::nanoseconds>(SimClock::now() - start)
                    .count();
            due = std::min(count, static_cast<size_t>(elapsed / byteNs));
            if (due <= sent) {
                // In 64 bits: a long answer's pace passes 2^31 ns on armhf.
                const int64_t dueNs = int64_t{byteNs} * static_cast<int64_t>(sent + 1);
                if (WaitUntil(start + std::chrono::nanoseconds(dueNs)))
                    return false;
                continue;
            }
        }
        // close() queues its inotify event before it returns.
        DrainInotify();
        if (m_inotify >= 0 && m_clients == 0)
            return true;
        const ssize_t n = write(m_master, bytes + sent, due - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Nobody reads the line and its buffer is full.
            pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_master, POLLOUT, 0}};
            const int r = poll(fds, 2, 200);
            if (r > 0 && (fds[0].revents & POLLIN))
                return false;
            if (r <= 0)
                return true;  // the rest is lost on the line
        } else {
            return true;
        }
    }
    return true;
}

// Keeps count of the clients that hold the slave open. When the last one
// closes it, and again when the first one opens it, what nobody read is
// thrown away: a real port's buffers start empty on open.
void CSimPty::DrainInotify()
{
    if (m_inotify < 0)
        return;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(m_inotify, buf, sizeof buf);
        if (n <= 0)
            return;
        for (char* p = buf; p < buf + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            if (event->mask & IN_OPEN) {
                if (m_clients++ == 0)
                    tcflush(m_ownSlave, TCIFLUSH);
            } else if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                if (m_clients > 0 && --m_clients == 0)
                    tcflush(m_ownSlave, TCIFLUSH);
            }
            p += sizeof(inotify_event) + event->len;
        }
    }
}

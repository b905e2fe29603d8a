#include "CMeterSim.h"
#include "SimRegisters.h"

#include "Crc16.h"
#include "PortMap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

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

bool AnyFault(const SimFaults& f)
{
    return f.silent || f.delayMs > 0 || f.truncateTo >= 0 || f.corruptCrc || f.exceptionCode != 0 ||
           f.garbageBytes > 0 || f.splitPauseMs > 0;
}

// Nanoseconds one byte takes on the line set in `tio`, or 0 when the line
// is not the meter's 9600 baud 8N2.
long MeterLineByteNs(const termios& tio)
{
    const speed_t out = cfgetospeed(&tio);
    const speed_t in = cfgetispeed(&tio);
    if (out != B9600 || (in != B9600 && in != B0))
        return 0;
    if ((tio.c_cflag & CSIZE) != CS8 || (tio.c_cflag & PARENB) != 0 || (tio.c_cflag & CSTOPB) == 0)
        return 0;
    const long bits = 1 + 8 + 2;  // start, data, stop
    return bits * 1000000000L / 9600;
}

uint16_t ClampRegister(double value)
{
    if (!(value > 0))
        return 0;
    if (value > 65535)
        return 65535;
    return static_cast<uint16_t>(std::lround(value));
}

}  // namespace

struct CMeterSim::Impl {
    // --- control: Start/Stop/HangUp/Replug/Link*, one at a time ---
    std::mutex control;
    int master = -1;
    int ownSlave = -1;
    int inotifyFd = -1;
    int wake = -1;
    std::thread thread;
    std::vector<std::string> links;
    std::atomic<bool> running{false};

    std::atomic<bool> pacing{true};
    std::atomic<int> calibrateMs{kDefaultCalibrateMs};

    // --- meter state, guarded by `mutex` ---
    mutable std::mutex mutex;
    std::string device;      // current pty, empty when none
    std::string lastDevice;  // the links point here
    SimMeterState state;
    double baseVoltage = 0;
    double baseCurrent = 0;
    double voltageNow = 0;
    double currentNow = 0;
    double energyFraction = 0;  // Wh not yet in the counter
    Clock::time_point epoch = Clock::now();
    Clock::time_point lastAdvance = epoch;
    std::mt19937 rng{20260508u};
    SimFaults faults;
    unsigned requests = 0;
    unsigned ignored = 0;
    unsigned answers = 0;
    std::vector<uint8_t> lastRequest;

    // --- meter thread only ---
    uint32_t garbageState = 0x5EED1234u;
    int clients = 0;  // opens of the slave other than ours (inotify)

    Impl()
    {
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ResetState(SimMeterState{});
    }
    ~Impl() { CloseFd(wake); }

    void ResetState(const SimMeterState& s)
    {
        state = s;
        baseVoltage = voltageNow = s.voltage;
        baseCurrent = currentNow = s.current;
        energyFraction = 0;
        lastAdvance = Clock::now();
    }

    // Moves the live values on to `now` (caller holds `mutex`).
    void Advance(Clock::time_point now)
    {
        const double dt = std::chrono::duration<double>(now - lastAdvance).count();
        if (dt <= 0)
            return;
        lastAdvance = now;
        if (state.fixed)
            return;

        const double watts = SimPower(state.voltage, state.current) / 10.0;
        energyFraction += watts * dt / 3600.0;
        const double whole = std::floor(energyFraction);
        state.energy += static_cast<uint32_t>(whole);
        energyFraction -= whole;

        // A battery under charge and a solar panel under passing clouds:
        // mean-reverting random walks around slowly swinging targets.
        const double kTwoPi = 6.283185307179586;
        const double t = std::chrono::duration<double>(now - epoch).count();
        const double step = std::min(dt, 60.0);
        const double pull = 1.0 - std::exp(-step / 5.0);
        std::normal_distribution<double> gauss(0.0, 1.0);
        const double targetV = baseVoltage * (1.0 + 0.01 * std::sin(kTwoPi * t / 300.0));
        const double targetI = baseCurrent * (1.0 + 0.08 * std::sin(kTwoPi * t / 90.0) +
                                              0.03 * std::sin(kTwoPi * t / 17.0));
        voltageNow +=
            (targetV - voltageNow) * pull + 0.002 * baseVoltage * std::sqrt(step) * gauss(rng);
        currentNow +=
            (targetI - currentNow) * pull + 0.01 * baseCurrent * std::sqrt(step) * gauss(rng);
        voltageNow = std::clamp(voltageNow, 0.0, 65535.0);
        currentNow = std::clamp(currentNow, 0.0, 65535.0);
        state.voltage = ClampRegister(voltageNow);
        state.current = ClampRegister(currentNow);
    }

    // ---------------------------------------------------------------- pty

    bool OpenPty(std::string* error)
    {
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
        // Our own hold on the far end: a client closing the port must not
        // hang up the master side.
        int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (s < 0) {
            if (error)
                *error = ErrnoText(std::string("open ") + name, errno);
            close(m);
            return false;
        }
        // Raw, 9600 8N1 until a client sets the line: no echo or line
        // editing to garble frames, and not the meter's 8N2 either.
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

        master = m;
        ownSlave = s;
        inotifyFd = in;
        std::lock_guard<std::mutex> lock(mutex);
        device = name;
        lastDevice = name;
        return true;
    }

    void ClosePty()
    {
        CloseFd(inotifyFd);
        CloseFd(master);
        CloseFd(ownSlave);
        std::lock_guard<std::mutex> lock(mutex);
        device.clear();
    }

    void StartThread()
    {
        running = true;
        thread = std::thread(&Impl::Run, this);
    }

    void StopThread()
    {
        if (thread.joinable()) {
            uint64_t one = 1;
            ssize_t n = write(wake, &one, sizeof one);
            (void)n;
            thread.join();
            uint64_t value;
            n = read(wake, &value, sizeof value);
            (void)n;
        }
        running = false;
    }

    // -------------------------------------------------------------- links

    std::string LinkTarget() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastDevice;
    }

    static bool PointLink(const std::string& path, const std::string& target, std::string* error)
    {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            if (error)
                *error = path + " exists and is not a symbolic link";
            return false;
        }
        static std::atomic<unsigned> counter{0};
        const std::string temp =
            path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        unlink(temp.c_str());
        if (symlink(target.c_str(), temp.c_str()) != 0) {
            if (error)
                *error = ErrnoText("symlink " + path, errno);
            return false;
        }
        if (rename(temp.c_str(), path.c_str()) != 0) {
            if (error)
                *error = ErrnoText("rename " + path, errno);
            unlink(temp.c_str());
            return false;
        }
        return true;
    }

    bool AddLink(const std::string& path, std::string* error)
    {
        const std::string target = LinkTarget();
        if (target.empty()) {
            if (error)
                *error = "the simulator has no pseudo-terminal (not started)";
            return false;
        }
        if (!PointLink(path, target, error))
            return false;
        if (std::find(links.begin(), links.end(), path) == links.end())
            links.push_back(path);
        return true;
    }

    void RepointLinks()
    {
        const std::string target = LinkTarget();
        for (const auto& link : links)
            PointLink(link, target, nullptr);
    }

    // Removes the links that still point at our pty; `forget` drops them
    // from the list too (Stop), otherwise a Replug() makes them again.
    void RemoveLinks(bool forget = true)
    {
        const std::string target = LinkTarget();
        for (const auto& link : links) {
            char buf[4096];
            ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
            if (n <= 0)
                continue;
            buf[n] = '\0';
            if (target == buf)  // someone else's link by now: leave it
                unlink(link.c_str());
        }
        if (forget)
            links.clear();
    }

    // ------------------------------------------------------- meter thread

    // Waits until `deadline` or a stop request; true when asked to stop.
    bool WaitUntil(Clock::time_point deadline)
    {
        for (;;) {
            auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return StopRequested();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec ts{static_cast<time_t>(ns / 1000000000L), static_cast<long>(ns % 1000000000L)};
            pollfd pfd{wake, POLLIN, 0};
            int r = ppoll(&pfd, 1, &ts, nullptr);
            if (r > 0)
                return true;
            if (r < 0 && errno != EINTR)
                return StopRequested();
        }
    }

    bool WaitMs(int ms) { return WaitUntil(Clock::now() + std::chrono::milliseconds(ms)); }

    bool StopRequested() const
    {
        pollfd pfd{wake, POLLIN, 0};
        return poll(&pfd, 1, 0) > 0;
    }

    // Writes `count` bytes, each when it would have finished arriving on the
    // line if paced. False when asked to stop.
    bool Send(const uint8_t* bytes, size_t count, long byteNs)
    {
        const auto start = Clock::now();
        size_t sent = 0;
        while (sent < count) {
            size_t due = count;
            if (byteNs > 0) {
                const auto elapsed =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
                        .count();
                due = std::min(count, static_cast<size_t>(elapsed / byteNs));
                if (due <= sent) {
                    if (WaitUntil(start +
                                  std::chrono::nanoseconds(byteNs * static_cast<long>(sent + 1))))
                        return false;
                    continue;
                }
            }
            // Bytes sent while no client holds the port are lost, as on a
            // real line; close() queues its event before it returns.
            DrainInotify();
            if (inotifyFd >= 0 && clients == 0)
                return true;
            ssize_t n = write(master, bytes + sent, due - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                // Nobody reads the line and its buffer is full.
                pollfd fds[2] = {{wake, POLLIN, 0}, {master, POLLOUT, 0}};
                int r = poll(fds, 2, 200);
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

    std::vector<uint8_t> Garbage(size_t count)
    {
        std::vector<uint8_t> out(count);
        for (auto& b : out) {
            garbageState = garbageState * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(garbageState >> 24);
        }
        if (count >= 2)
            out[1] &= 0x7F;  // never an exception answer's function byte
        if (count >= 3 && count <= 255 && CheckCrc16(out.data(), static_cast<uint8_t>(count)))
            out.back() ^= 0x01;  // never a valid frame either
        return out;
    }

    // One request frame with a good checksum. False when asked to stop.
    bool HandleFrame(const std::vector<uint8_t>& frame)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const uint8_t address = frame[0];
        if (address == 0 || (address != 0xF8 && address != state.address))
            return true;
        ++requests;
        lastRequest = frame;

        termios tio{};
        const long byteNs = tcgetattr(master, &tio) == 0 ? MeterLineByteNs(tio) : 0;
        if (byteNs == 0) {
            ++ignored;
            return true;
        }

        Advance(Clock::now());
        const SimFaults f = faults;
        if (AnyFault(faults) && faults.count > 0 && --faults.count == 0)
            faults = SimFaults{};
        if (f.silent)
            return true;

        std::vector<uint8_t> answer;
        bool calibrating = false;
        if (f.exceptionCode != 0) {
            answer = {address, static_cast<uint8_t>(frame[1] | 0x80),
                      static_cast<uint8_t>(f.exceptionCode)};
            const uint16_t crc = Crc16(3, answer.data());
            answer.push_back(static_cast<uint8_t>(crc >> 8));
            answer.push_back(static_cast<uint8_t>(crc & 0xFF));
        } else {
            answer = SimAnswer(state, frame.data(), frame.size());
            const bool echoed = answer.size() == frame.size() && answer[1] == frame[1];
            if (frame[1] == 0x42 && echoed)
                energyFraction = 0;
            calibrating = frame[1] == 0x41 && echoed;
        }
        lock.unlock();
        if (answer.empty())
            return true;

        if (calibrating && WaitMs(calibrateMs.load()))
            return false;
        if (f.delayMs > 0 && WaitMs(f.delayMs))
            return false;

        if (f.garbageBytes > 0)
            answer = Garbage(static_cast<size_t>(f.garbageBytes));
        else if (f.corruptCrc && !answer.empty())
            answer.back() ^= 0xFF;
        if (f.truncateTo >= 0 && static_cast<size_t>(f.truncateTo) < answer.size())
            answer.resize(static_cast<size_t>(f.truncateTo));

        const long pace = pacing.load() ? byteNs : 0;
        if (f.splitPauseMs > 0 && answer.size() >= 2) {
            const size_t half = answer.size() / 2;
            if (!Send(answer.data(), half, pace) || WaitMs(f.splitPauseMs) ||
                !Send(answer.data() + half, answer.size() - half, pace))
                return false;
        } else if (!Send(answer.data(), answer.size(), pace)) {
            return false;
        }
        lock.lock();
        ++answers;
        return true;
    }

    // Cuts frames off the front of `rx` and answers them. False on stop.
    bool ProcessFrames(std::vector<uint8_t>& rx)
    {
        while (!rx.empty()) {
            const int n = SimFrameLength(rx.data(), rx.size());
            if (n == 0) {
                // Incomplete, or noise that only looks like a frame's start:
                // if a whole good frame follows, skip to it.
                size_t next = 1;
                for (; next + 4 <= rx.size(); ++next) {
                    const int m = SimFrameLength(rx.data() + next, rx.size() - next);
                    if (m > 0 && m <= 255 && CheckCrc16(rx.data() + next, static_cast<uint8_t>(m)))
                        break;
                }
                if (next + 4 > rx.size())
                    break;
                rx.erase(rx.begin(), rx.begin() + static_cast<long>(next));
                continue;
            }
            if (n < 0 || n > 255 || !CheckCrc16(rx.data(), static_cast<uint8_t>(n))) {
                rx.erase(rx.begin());  // resync one byte on
                continue;
            }
            std::vector<uint8_t> frame(rx.begin(), rx.begin() + n);
            rx.erase(rx.begin(), rx.begin() + n);
            if (!HandleFrame(frame))
                return false;
        }
        return true;
    }

    // Keeps count of the clients that hold the slave open. When the last
    // one closes it, and again when the first one opens it, what nobody
    // read is thrown away: a real port's buffers start empty on open.
    void DrainInotify()
    {
        if (inotifyFd < 0)
            return;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = read(inotifyFd, buf, sizeof buf);
            if (n <= 0)
                return;
            for (char* p = buf; p < buf + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->mask & IN_OPEN) {
                    if (clients++ == 0)
                        tcflush(ownSlave, TCIFLUSH);
                } else if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (clients > 0 && --clients == 0)
                        tcflush(ownSlave, TCIFLUSH);
                }
                p += sizeof(inotify_event) + event->len;
            }
        }
    }

    void Run()
    {
        std::vector<uint8_t> rx;
        auto lastRx = Clock::now();
        clients = 0;
        bool masterGone = false;
        uint8_t buf[512];
        for (;;) {
            pollfd fds[3] = {
                {wake, POLLIN, 0}, {masterGone ? -1 : master, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
            int timeout = -1;
            if (!rx.empty()) {
                auto left = lastRx + std::chrono::milliseconds(kSimFrameGapMs) - Clock::now();
                timeout = static_cast<int>(std::max<long long>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            }
            int r = poll(fds, 3, timeout);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents)
                return;
            if (fds[2].revents & POLLIN)
                DrainInotify();
            if (fds[1].revents & POLLIN) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) {
                    rx.insert(rx.end(), buf, buf + n);
                    lastRx = Clock::now();
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    masterGone = true;
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                masterGone = true;  // cannot happen while we hold the slave; never spin on it
            }
            if (!ProcessFrames(rx))
                return;
            if (!rx.empty() && Clock::now() - lastRx >= std::chrono::milliseconds(kSimFrameGapMs))
                rx.clear();  // an incomplete frame followed by silence
        }
    }
};

CMeterSim::CMeterSim() : m_impl(new Impl) {}

CMeterSim::~CMeterSim()
{
    Stop();
    delete m_impl;
}

bool CMeterSim::Start(std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    if (m_impl->master >= 0 || m_impl->thread.joinable()) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    if (m_impl->wake < 0) {
        if (error)
            *error = ErrnoText("eventfd", errno);
        return false;
    }
    if (!m_impl->OpenPty(error))
        return false;
    m_impl->RepointLinks();  // after a HangUp(), as Replug() would
    m_impl->StartThread();
    return true;
}

void CMeterSim::Stop()
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    m_impl->StopThread();
    m_impl->ClosePty();
    m_impl->RemoveLinks();
}

std::string CMeterSim::DevicePath() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device;
}

bool CMeterSim::LinkCom(int port, std::string* error)
{
    if (port < 1 || port > kMaxComPort) {
        if (error)
            *error = "port number out of range: " + std::to_string(port);
        return false;
    }
    const std::string dir = PortAliasDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        if (error)
            *error = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    return LinkAt(dir + "/COM" + std::to_string(port), error);
}

bool CMeterSim::LinkAt(const std::string& path, std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    return m_impl->AddLink(path, error);
}

void CMeterSim::HangUp()
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    // A pulled adapter's device links vanish with it; a link left pointing at
    // the freed /dev/pts/N would reach whichever pty gets that number next.
    m_impl->RemoveLinks(false);
    m_impl->StopThread();
    m_impl->ClosePty();
}

bool CMeterSim::Replug(std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    m_impl->StopThread();
    m_impl->ClosePty();
    if (!m_impl->OpenPty(error))
        return false;
    m_impl->RepointLinks();
    m_impl->StartThread();
    return true;
}

void CMeterSim::SetPacing(bool on)
{
    m_impl->pacing = on;
}

void CMeterSim::SetCalibrateMs(int ms)
{
    m_impl->calibrateMs = std::max(0, ms);
}

void CMeterSim::SetState(const SimMeterState& state)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->ResetState(state);
}

SimMeterState CMeterSim::State() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->Advance(Clock::now());
    return m_impl->state;
}

void CMeterSim::SetVoltage(double volts)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->Advance(Clock::now());
    m_impl->state.voltage = ClampRegister(volts * 100.0);
    m_impl->baseVoltage = m_impl->voltageNow = m_impl->state.voltage;
}

void CMeterSim::SetCurrent(double amperes)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->Advance(Clock::now());
    m_impl->state.current = ClampRegister(amperes * 100.0);
    m_impl->baseCurrent = m_impl->currentNow = m_impl->state.current;
}

void CMeterSim::SetFaults(const SimFaults& faults)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->faults = faults.count == 0 ? SimFaults{} : faults;
}

void CMeterSim::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->faults = SimFaults{};
}

MeterReading CMeterSim::Reading() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->Advance(Clock::now());
    uint16_t regs[8];
    SimInputRegisters(m_impl->state, regs);
    MeterReading reading{};
    for (int i = 0; i < 8; ++i)
        PutRegisterWord(reading.bytes, i, regs[i]);
    return reading;
}

MeterParameters CMeterSim::Parameters() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    uint16_t regs[4];
    SimHoldingRegisters(m_impl->state, regs);
    MeterParameters parameters{};
    for (int i = 0; i < 4; ++i)
        PutRegisterWord(parameters.bytes, i, regs[i]);
    return parameters;
}

unsigned CMeterSim::RequestCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests;
}

std::vector<uint8_t> CMeterSim::LastRequest() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->lastRequest;
}

unsigned CMeterSim::IgnoredForLineSettings() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->ignored;
}

unsigned CMeterSim::AnswerCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->answers;
}

bool CMeterSim::Running() const
{
    return m_impl->running.load();
}

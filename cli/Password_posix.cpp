#include "Password.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal as found, for the handler to put back.
int g_ttyFd = -1;
termios g_saved;

void RestoreAndDie(int signal)
{
    tcsetattr(g_ttyFd, TCSANOW, &g_saved);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// Echo off for its lifetime, with the signals above restoring it too.
class EchoOff {
public:
    explicit EchoOff(int fd)
    {
        if (tcgetattr(fd, &g_saved) != 0)
            return;
        g_ttyFd = fd;
        struct sigaction action {};
        action.sa_handler = RestoreAndDie;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &m_old[i]);
        termios quiet = g_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSANOW, &quiet);
    }
    ~EchoOff()
    {
        if (g_ttyFd < 0)
            return;
        tcsetattr(g_ttyFd, TCSANOW, &g_saved);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &m_old[i], nullptr);
        g_ttyFd = -1;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    struct sigaction m_old[std::size(kSignals)];
};

// One byte of `fd`, so nothing after the line is consumed.
int ReadByte(int fd, char* c)
{
    for (;;) {
        const ssize_t n = read(fd, c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? 1 : static_cast<int>(n);
    }
}

}  // namespace

bool ReadPassword(const char* prompt, std::string* password)
{
    const int fd = STDIN_FILENO;
    const auto readByte = [](char* c) { return ReadByte(STDIN_FILENO, c); };
    if (!isatty(fd))
        return ReadPasswordLine(readByte, password);

    (void)!write(STDERR_FILENO, prompt, std::strlen(prompt));
    bool ok;
    {
        EchoOff quiet(fd);
        ok = ReadPasswordLine(readByte, password);
    }
    (void)!write(STDERR_FILENO, "\n", 1);  // the Enter that was not echoed
    return ok;
}

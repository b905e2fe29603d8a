#include "CChildProcess.h"

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

CChildProcess::~CChildProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        close(m_out);
    if (m_err >= 0)
        close(m_err);
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> copies{program};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls here: the parent runs meter threads.
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close_range(3, ~0U, 0);  // no pty or pipe of the parent's stays open
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
    return m_pid > 0;
}

bool CChildProcess::Pump(int timeoutMs)
{
    if (m_out < 0 && m_err < 0)
        return false;
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
        return true;
    int* own[2] = {&m_out, &m_err};
    std::string* sink[2] = {&m_result.out, &m_result.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(*own[i], buffer, sizeof buffer);
        if (n > 0) {
            sink[i]->append(buffer, static_cast<size_t>(n));
        } else {
            close(*own[i]);
            *own[i] = -1;
        }
    }
    return true;
}

std::string CChildProcess::NextErrorLine(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = m_result.err.find('\n', m_taken);
        if (end != std::string::npos) {
            std::string line = m_result.err.substr(m_taken, end + 1 - m_taken);
            m_taken = end + 1;
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !Pump(static_cast<int>(left.count())))
            return "";
    }
}

std::string CChildProcess::WaitForErrorLine(const std::string& part, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return "";
        const std::string line = NextErrorLine(static_cast<int>(left.count()));
        if (line.find(part) != std::string::npos)
            return line;
        if (line.empty())
            return "";
    }
}

const std::string& CChildProcess::Err()
{
    size_t before;
    do {
        before = m_result.err.size() + m_result.out.size();
        Pump(0);
    } while (m_result.err.size() + m_result.out.size() != before);
    return m_result.err;
}

void CChildProcess::Signal(int signal) const
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

ChildResult CChildProcess::Finish(int timeoutMs)
{
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    // Until the child has exited and its output is closed, or time is up.
    bool exited = false;
    while (Clock::now() < deadline) {
        if (!exited && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            exited = true;
            m_result.elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        }
        if (!Pump(5) && exited)
            break;
    }
    if (!exited) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_result.elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
    m_pid = -1;
    if (WIFEXITED(status)) {
        m_result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_result.status = -1;
        m_result.signal = WTERMSIG(status);
    }
    return m_result;
}

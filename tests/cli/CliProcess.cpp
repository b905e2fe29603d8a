#include "CliProcess.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

CCliProcess::~CCliProcess()
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

bool CCliProcess::Start(const std::vector<std::string>& args, const Options& options)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    std::vector<char*> argv;
    std::string program = QUORVAN_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const bool dropRoot = options.asNobody && geteuid() == 0;

    m_start = Clock::now();
    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls here: the parent runs the meter thread.
        dup2(options.stdinFd >= 0 ? options.stdinFd : in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // No inherited pty or pipe may keep a far end alive.
        close_range(3, ~0U, 0);
        if (dropRoot && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
    if (m_pid < 0) {
        close(in[1]);
        return false;
    }
    if (!options.input.empty())
        (void)!write(in[1], options.input.data(), options.input.size());
    close(in[1]);
    return true;
}

bool CCliProcess::Pump(int timeoutMs)
{
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (m_out < 0 && m_err < 0)
        return false;
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

std::string CCliProcess::NextLineOf(int stream, int timeoutMs)
{
    const std::string& text = stream == 0 ? m_result.out : m_result.err;
    size_t& taken = m_taken[stream];
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = text.find('\n', taken);
        if (end != std::string::npos) {
            std::string line = text.substr(taken, end + 1 - taken);
            taken = end + 1;
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !Pump(static_cast<int>(left.count())))
            return "";
    }
}

void CCliProcess::Signal(int signal) const
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

CliResult CCliProcess::Finish(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline && Pump(20)) {
    }
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
        // Output closed early, or time is up: give the exit what is left.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        for (int waited = 0; waitpid(m_pid, &status, WNOHANG) == 0; waited += 10) {
            if (waited >= left.count()) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            usleep(10000);
        }
    }
    m_result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start);
    m_pid = -1;
    if (WIFEXITED(status)) {
        m_result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_result.status = -1;
        m_result.signal = WTERMSIG(status);
    }
    return m_result;
}

CliResult RunCli(const std::vector<std::string>& args, const std::string& input, int timeoutMs)
{
    CCliProcess process;
    CCliProcess::Options options;
    options.input = input;
    if (!process.Start(args, options))
        return CliResult{};
    return process.Finish(timeoutMs);
}

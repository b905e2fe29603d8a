#include "CChildProcess.h"

#include <csignal>
#include <cstring>
#include <filesystem>

#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// The test's environment with `over` (NAME=value) set on top.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& over)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& o : over)
            replaced = replaced || o.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), over.begin(), over.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A cross-built test runs under qemu-user (QUORVAN_TEST_EMULATOR, from the
// build's CMAKE_CROSSCOMPILING_EMULATOR), and the kernel cannot start a
// program of the test's own machine by itself: such a program runs through
// the same emulator. Host tools (prometheus, mosquitto, scripts) run as
// they are.
#ifdef QUORVAN_TEST_EMULATOR
#if defined(__aarch64__)
constexpr uint16_t kOwnMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t kOwnMachine = EM_ARM;
#else
#error "QUORVAN_TEST_EMULATOR is set for a machine this helper does not know"
#endif

std::string EmulatorFor(const std::string& program)
{
    unsigned char header[EI_NIDENT + 4] = {};
    const int fd = open(program.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    const ssize_t n = read(fd, header, sizeof header);
    close(fd);
    // e_machine follows e_ident and the 16-bit e_type; both machines are
    // little-endian here.
    const bool own = n == static_cast<ssize_t>(sizeof header) &&
                     std::memcmp(header, ELFMAG, SELFMAG) == 0 &&
                     (header[EI_NIDENT + 2] | header[EI_NIDENT + 3] << 8) == kOwnMachine;
    return own ? QUORVAN_TEST_EMULATOR : "";
}
#else
std::string EmulatorFor(const std::string&)
{
    return "";
}
#endif

int LeftMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

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
    std::error_code ec;
    if (!m_copyDir.empty())
        fs::remove_all(m_copyDir, ec);
}

// Root's own folders (a clone under /root is 0700) are out of nobody's
// reach: the program runs from a copy in a fresh 0755 folder in /tmp.
bool CChildProcess::CopyForNobody(std::string* program)
{
    char dir[] = "/tmp/quorvan-child-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    m_copyDir = dir;
    const std::string copy = m_copyDir + "/" + fs::path(*program).filename().string();
    std::error_code ec;
    if (chmod(dir, 0755) != 0 || !fs::copy_file(*program, copy, ec) ||
        chmod(copy.c_str(), 0755) != 0)
        return false;
    *program = copy;
    return true;
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const ChildOptions& options)
{
    const bool dropRoot = options.asNobody && geteuid() == 0;
    std::string path = program;
    std::vector<std::string> env = MergedEnvironment(options.env);
    if (dropRoot && !CopyForNobody(&path))
        return false;
    std::vector<std::string> argStrings = {path};
    const std::string emulator = EmulatorFor(path);
    if (!emulator.empty())
        argStrings.insert(argStrings.begin(), emulator);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argStrings);
    std::vector<char*> envp = Pointers(env);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    m_start = Clock::now();
    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls here: the parent may run other threads.
        dup2(options.stdinFd >= 0 ? options.stdinFd : in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // No inherited pty or pipe may keep a far end alive.
        close_range(3, ~0U, 0);
        if (dropRoot && (chdir("/") != 0 || setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                         setuid(kNobody) != 0))
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
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

bool CChildProcess::Pump(int timeoutMs)
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

std::string CChildProcess::NextLineOf(int stream, int timeoutMs)
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
        const int left = LeftMs(deadline);
        if (left == 0 || !Pump(left))
            return "";
    }
}

std::string CChildProcess::WaitForErrorLine(const std::string& part, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string line = NextLineOf(1, LeftMs(deadline));
        if (line.empty() || line.find(part) != std::string::npos)
            return line;
    }
}

const std::string& CChildProcess::Err()
{
    size_t before;
    do {
        before = m_result.out.size() + m_result.err.size();
    } while (Pump(0) && m_result.out.size() + m_result.err.size() != before);
    return m_result.err;
}

void CChildProcess::Signal(int signal) const
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

ChildResult CChildProcess::Finish(int timeoutMs)
{
    if (m_pid <= 0)
        return m_result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (LeftMs(deadline) > 0 && Pump(std::min(LeftMs(deadline), 100))) {
    }
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
        // Output closed early, or time is up: give the exit what is left.
        // (glibc 2.36's <sys/pidfd.h> lacks extern "C": the system call itself)
        const int exited = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        pollfd pfd{exited, POLLIN, 0};
        if (exited < 0 || poll(&pfd, 1, LeftMs(deadline)) <= 0)
            kill(m_pid, SIGKILL);
        if (exited >= 0)
            close(exited);
        waitpid(m_pid, &status, 0);
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

ChildResult CChildProcess::Run(const std::string& program, const std::vector<std::string>& args,
                               const ChildOptions& options, int timeoutMs)
{
    CChildProcess process;
    if (!process.Start(program, args, options))
        return ChildResult{};
    return process.Finish(timeoutMs);
}

// A program run by a test as a person would run it: a child process with
// its own arguments, environment and standard input, standard output and
// error captured. One test thread drives it; the child is killed when the
// object goes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

struct ChildResult {
    int status = -1;  // exit status; -1 when ended by a signal or never started
    int signal = 0;   // the signal that ended it, if any
    std::string out, err;
    std::chrono::milliseconds elapsed{0};  // from Start() to the exit
};

struct ChildOptions {
    std::vector<std::string> env;  // NAME=value, set over the test's own environment
    std::string input;             // written to standard input, then closed
    int stdinFd = -1;              // or this descriptor as standard input
    // As root: run as nobody (uid/gid 65534) from "/", the program copied
    // where nobody can reach it. Otherwise ignored: an ordinary user is
    // unprivileged already.
    bool asNobody = false;
};

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();  // kills a child still running, removes the copy

    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args,
               const ChildOptions& options);
    bool Start(const std::string& program, const std::vector<std::string>& args)
    {
        return Start(program, args, ChildOptions{});
    }
    // Waits until standard output (or error) holds a complete line; returns
    // the first one not taken yet, or "" after the time-out.
    std::string NextLine(int timeoutMs) { return NextLineOf(0, timeoutMs); }
    std::string NextErrorLine(int timeoutMs) { return NextLineOf(1, timeoutMs); }
    // Takes lines of standard error until one contains `part` and returns
    // it; "" after the time-out. Lines passed over stay in Err().
    std::string WaitForErrorLine(const std::string& part, int timeoutMs);
    // Standard error as far as the child has written it, without waiting.
    const std::string& Err();
    void Signal(int signal) const;
    pid_t Pid() const { return m_pid; }  // -1 before Start and after Finish
    // Collects the rest of the output and the exit; kills the child after
    // `timeoutMs`.
    ChildResult Finish(int timeoutMs);

    // Start, Finish.
    static ChildResult Run(const std::string& program, const std::vector<std::string>& args,
                           const ChildOptions& options, int timeoutMs = 20000);

private:
    bool CopyForNobody(std::string* program);
    bool Pump(int timeoutMs);  // one poll over both pipes; false when both closed
    std::string NextLineOf(int stream, int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    size_t m_taken[2] = {0, 0};  // bytes of out and err handed out as lines
    std::string m_copyDir;       // the copies made for nobody
    std::chrono::steady_clock::time_point m_start;
    ChildResult m_result;
};

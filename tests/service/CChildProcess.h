// A program run as a child, its output captured: quorvan-meterd, prometheus.
// (CCliProcess's approach with the program as an argument, until the shared
// child-process helper lands.)
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

struct ChildResult {
    int status = -1;  // exit status, -1 when ended by a signal
    int signal = 0;   // the signal that ended it, if any
    std::string out, err;
    std::chrono::milliseconds elapsed{0};  // from the Finish call to the exit
};

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();  // kills a child still running

    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Standard input is /dev/null; the environment is this process's.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // The first line of standard error not taken yet, waiting up to
    // `timeoutMs` for it to be complete; "" after the time-out.
    std::string NextErrorLine(int timeoutMs);
    // Waits for a line of standard error that contains `part`; "" if none
    // came within `timeoutMs`. Lines passed over stay in Err().
    std::string WaitForErrorLine(const std::string& part, int timeoutMs);
    // Standard error as far as the child has written it.
    const std::string& Err();
    void Signal(int signal) const;
    pid_t Pid() const { return m_pid; }
    // Collects the rest of the output and the exit; kills the child after
    // `timeoutMs`. `elapsed` counts from this call.
    ChildResult Finish(int timeoutMs);

private:
    bool Pump(int timeoutMs);  // one poll over both pipes; false when both closed

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    size_t m_taken = 0;  // bytes of err handed out as lines
    ChildResult m_result;
};

// Runs the built quorvan-cli as a child process with its output captured.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

struct CliResult {
    int status = -1;  // exit status, -1 when ended by a signal
    int signal = 0;   // the signal that ended it, if any
    std::string out, err;
    std::chrono::milliseconds elapsed{0};  // from Start() to the exit
};

class CCliProcess {
public:
    struct Options {
        std::string input;      // written to standard input, then closed
        int stdinFd = -1;       // or this descriptor as standard input
        bool asNobody = false;  // run as uid/gid 65534 (only when root)
    };

    CCliProcess() = default;
    ~CCliProcess();  // kills a child still running

    CCliProcess(const CCliProcess&) = delete;
    CCliProcess& operator=(const CCliProcess&) = delete;

    bool Start(const std::vector<std::string>& args, const Options& options);
    bool Start(const std::vector<std::string>& args) { return Start(args, Options{}); }
    // Waits until standard output (or error) holds a complete line; returns
    // the first one not taken yet, or "" after the time-out.
    std::string NextLine(int timeoutMs) { return NextLineOf(0, timeoutMs); }
    std::string NextErrorLine(int timeoutMs) { return NextLineOf(1, timeoutMs); }
    void Signal(int signal) const;
    // Collects the rest of the output and the exit; kills the child after
    // `timeoutMs`.
    CliResult Finish(int timeoutMs);

private:
    bool Pump(int timeoutMs);  // one poll over both pipes; false when both closed
    std::string NextLineOf(int stream, int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    size_t m_taken[2] = {0, 0};  // bytes of out and err handed out as lines
    std::chrono::steady_clock::time_point m_start;
    CliResult m_result;
};

// Start, feed `input`, Finish.
CliResult RunCli(const std::vector<std::string>& args, const std::string& input = "",
                 int timeoutMs = 20000);

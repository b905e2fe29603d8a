// A Windows program of this project run under Wine by a Linux test, as
// scripts/test-windows sets it up: the program's path in an environment
// variable (QUORVAN_WINE_CLI, ...), the Wine prefix in QUORVAN_WINE_PREFIX
// (made, and served by one Wine server, for the whole stage). The
// program's COMn is the prefix's dosdevices/comN link, which a test points
// at the simulated meter's pty; a server it starts listens on loopback as
// a Linux one would.
#pragma once

#include "CChildProcess.h"

#include <cstdlib>
#include <string>
#include <vector>

class WineProgram {
public:
    // `variable` names the program's path; empty Program() if unset.
    explicit WineProgram(const char* variable)
        : m_program(Env(variable)), m_prefix(Env("QUORVAN_WINE_PREFIX"))
    {
    }

    bool Ready() const { return !m_program.empty() && !m_prefix.empty(); }
    const std::string& Program() const { return m_program; }
    const std::string& Prefix() const { return m_prefix; }
    // Where Wine looks for COMn: the link to make to a device.
    std::string ComLink(int port) const
    {
        return m_prefix + "/dosdevices/com" + std::to_string(port);
    }

    bool Start(CChildProcess& process, const std::vector<std::string>& args,
               const ChildOptions& options = ChildOptions{}) const
    {
        return process.Start(QUORVAN_WINE_RUN, Args(args), options);
    }
    ChildResult Run(const std::vector<std::string>& args, const ChildOptions& options,
                    int timeoutMs) const
    {
        return CChildProcess::Run(QUORVAN_WINE_RUN, Args(args), options, timeoutMs);
    }

    // What a program ended by Ctrl+C returns on Windows, STATUS_CONTROL_C_EXIT
    // (0xC000013A), as a Linux exit status: its low byte.
    static constexpr int kControlCExit = 0x3A;

private:
    static std::string Env(const char* name)
    {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }

    std::vector<std::string> Args(const std::vector<std::string>& args) const
    {
        std::vector<std::string> all = {m_prefix, m_program};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    std::string m_program;
    std::string m_prefix;
};

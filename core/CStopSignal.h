// The system's stop requests as a stop token that the meter port and every
// wait watch: a request cancels the exchange under way and cuts any pause
// short, so the program ends through its normal path and leaves the port
// as it found it (exclusive flag cleared, lock released).
//
// The requests: SIGINT, SIGTERM and SIGHUP on POSIX; on Windows Ctrl+C,
// Ctrl+Break, the console window closing, log-off and shut-down. Windows
// ends a program once its handler for the last three returns, so that
// handler holds on until this object goes or RaiseAgain() is called: the
// program gets the time Windows allows (about 5 s) to close its port.
#pragma once

#include "CStopToken.h"

class CStopSignal {
public:
    // Installs the handlers; one instance per process.
    CStopSignal();
    // Restores the default handlers.
    ~CStopSignal();

    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    const CStopToken& Token() const { return m_token; }
    bool Requested() const { return m_token.Requested(); }
    // The request in a word for a log ("SIGINT", "Ctrl+C", "console closed");
    // "" while none came.
    const char* What() const;
    // Ends the process the way the request would have, after the cleanup:
    // the default handler with the signal raised again on POSIX; on Windows
    // exit() with the status of a program ended by Ctrl+C
    // (STATUS_CONTROL_C_EXIT). Does nothing when none came.
    void RaiseAgain() const;

private:
    CStopToken m_token;
};

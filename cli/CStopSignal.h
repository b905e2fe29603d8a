// SIGINT, SIGTERM and SIGHUP as a stop token that the meter port and every
// wait watch: a signal cancels the exchange under way and cuts any pause
// short, so the command ends through its normal path and leaves the port
// as it found it (exclusive flag cleared, lock released).
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
    // The signal that came, 0 while none.
    int Signal() const;
    // Ends the process the way the signal would have, after the cleanup:
    // default handler, the signal raised again. Does nothing when none came.
    void RaiseAgain() const;

private:
    static void OnSignal(int signal);

    CStopToken m_token;
};

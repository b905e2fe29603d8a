// What the system asks of the running service, waited for on main's
// thread: to end, or (on Linux) to read its configuration again.
//
//   Linux (CServiceSignals_posix.cpp): SIGTERM and SIGINT end it, SIGHUP
//     rereads. The three are blocked from construction on and taken by
//     sigwait, so no work happens in a handler; make this object before
//     any thread, so that every thread inherits the mask. SIGPIPE is
//     ignored (a client that hangs up mid-answer).
//   Windows (CServiceSignals_win32.cpp): Ctrl+C, Ctrl+Break, the console
//     window closing, log-off and shut-down end it (CStopSignal). Nothing
//     rereads: a changed file is read when the service starts again.
//     Windows ends the program once the handler of the last three returns,
//     and that handler holds on until this object goes: end the service
//     first (Windows allows about 5 s).
#pragma once

#include <memory>

class CServiceSignals {
public:
    enum Request { kEnd, kReread };

    CServiceSignals();
    ~CServiceSignals();

    CServiceSignals(const CServiceSignals&) = delete;
    CServiceSignals& operator=(const CServiceSignals&) = delete;

    // Sleeps until the next request.
    Request Wait();
    // The last request in a word for the log: "SIGTERM", "Ctrl+C".
    const char* What() const;

private:
    struct Native;  // the system's side
    std::unique_ptr<Native> m_native;
};

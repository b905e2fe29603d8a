// A stop request as a level: once Raise() is called, every wait on any
// thread returns at once, now and later, until Reset().
//
// The level is a system object that the serial layer waits on beside the
// device (CSerial::SetCancel), so a stop ends a transfer in progress at
// once: an eventfd that is written and never drained on POSIX (poll()
// watches it), a manual-reset event on Windows (a wait for the transfer's
// completion watches it). Raise() may be called from a signal handler
// (it is async-signal-safe) or from the Windows console's control thread.
#pragma once

#include <atomic>

#ifdef _WIN32
using StopTokenHandle = void*;  // an event HANDLE; nullptr if none could be made
#else
using StopTokenHandle = int;  // an eventfd; -1 if none could be made
#endif

class CStopToken {
public:
    using Native = StopTokenHandle;

    CStopToken();
    ~CStopToken();

    CStopToken(const CStopToken&) = delete;
    CStopToken& operator=(const CStopToken&) = delete;

    // Async-signal-safe.
    void Raise();
    // Back to "not raised"; only while no wait relies on the level.
    void Reset();
    bool Requested() const { return m_raised.load(); }
    // Sleeps up to `ms` (-1: no limit); true when a stop was requested,
    // before or during the wait.
    bool Wait(int ms) const;
    // Signalled while raised, for the serial layer's waits. Without one,
    // waits look at the flag every kFlagSliceMs.
    Native Handle() const { return m_native; }
    bool HasHandle() const;

    static constexpr int kFlagSliceMs = 20;

private:
    Native m_native;
    std::atomic<bool> m_raised{false};
};

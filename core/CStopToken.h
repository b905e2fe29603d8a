// A stop request as a level: once Raise() is called, every wait on any
// thread returns at once, now and later, until Reset().
//
// It is an eventfd that is written and never drained, so poll() can watch
// it beside a device (CSerial::SetCancelFd) and a signal handler can raise
// it (Raise() is async-signal-safe).
#pragma once

#include <atomic>

class CStopToken {
public:
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
    // Readable while raised; -1 if no eventfd could be made (waits then
    // look at the flag every few milliseconds).
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::atomic<bool> m_raised{false};
};

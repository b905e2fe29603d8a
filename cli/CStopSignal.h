// SIGINT and SIGTERM as a level that threads can wait on.
//
// The handler writes one byte to a self-pipe that nobody drains, so once a
// stop is asked for every wait, on any thread, returns at once. Waits are
// poll() on the pipe: a pause never sleeps through Ctrl-C.
#pragma once

class CStopSignal {
public:
    // Installs the handlers; one instance per process.
    CStopSignal();
    // Restores the default handlers and closes the pipe.
    ~CStopSignal();

    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // True once a signal came or Raise() was called.
    bool Requested() const;
    // Pauses up to `ms` (-1: no limit); true when stopped, early or not.
    bool Wait(int ms) const;
    // Same level as a signal, from code (a worker that ended).
    void Raise();

private:
    static void OnSignal(int signal);
};
